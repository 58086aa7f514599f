#pragma once
// Dates as the firmware files store them: days since 30 December 1899, the time of day as fraction.
#include <string>

// Such a value for the current local time.
double CurrentDateTime();
// "YYYY-MM-DD HH:MM:SS" of such a value.
std::string DateTimeToStr(double AValue);
