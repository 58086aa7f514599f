#include "platform/SecureRandom.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <system_error>

void FillSecureRandom(void* ABuffer, std::size_t ASize) {
    auto* bytes = static_cast<unsigned char*>(ABuffer);
    while (ASize > 0) {
        const ULONG chunk = ULONG(std::min<std::size_t>(ASize, 1u << 20));
        const NTSTATUS status = BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (status < 0)
            throw std::system_error(int(status), std::system_category(), "BCryptGenRandom");
        bytes += chunk;
        ASize -= chunk;
    }
}
