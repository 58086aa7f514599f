#include "platform/SecureRandom.h"

#include <cerrno>
#include <sys/random.h>
#include <system_error>

void FillSecureRandom(void* ABuffer, std::size_t ASize) {
    auto* bytes = static_cast<char*>(ABuffer);
    std::size_t have = 0;
    while (have < ASize) {
        const ssize_t got = getrandom(bytes + have, ASize - have, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        have += std::size_t(got);
    }
}
