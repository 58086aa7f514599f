#include "MyLib/FirmwareDate.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

// Civil date to days since 1970-01-01 (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

constexpr int64_t DaysFrom1899To1970 = 25569;

} // namespace

double CurrentDateTime() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    int64_t days = DaysFromCivil(local.tm_year + 1900, unsigned(local.tm_mon + 1), unsigned(local.tm_mday));
    double seconds = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec;
    return double(days + DaysFrom1899To1970) + seconds / 86400.0;
}

std::string DateTimeToStr(double AValue) {
    if (!std::isfinite(AValue) || std::fabs(AValue) > 3.0e6)
        return "invalid date";
    double whole = std::floor(AValue);
    int64_t seconds = std::llround((AValue - whole) * 86400.0);
    int64_t days = int64_t(whole) - DaysFrom1899To1970;
    if (seconds >= 86400) {
        seconds -= 86400;
        ++days;
    }
    // Days since 1970-01-01 back to a civil date.
    int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = int64_t(yoe) + era * 400 + (m <= 2);
    char text[128];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld", (long long)y, m, d,
                  (long long)(seconds / 3600), (long long)(seconds / 60 % 60), (long long)(seconds % 60));
    return text;
}
