#pragma once
// The operating system's cryptographically secure random bytes.
#include <cstddef>

// Fills ABuffer with ASize random bytes; raises std::system_error when the system cannot give them.
void FillSecureRandom(void* ABuffer, std::size_t ASize);
