#include "FileContents.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

std::string ReadFileContents(const std::string& AFileName, std::size_t AMaxBytes) {
    const int fd = ::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw TFileContentsError("cannot open " + AFileName + ": " + std::strerror(errno));
    std::string data;
    char chunk[65536];
    while (data.size() <= AMaxBytes) {
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, AMaxBytes + 1 - data.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw TFileContentsError("cannot read " + AFileName + ": " + std::strerror(error));
        }
        if (n == 0)
            break;
        data.append(chunk, std::size_t(n));
    }
    ::close(fd);
    return data;
}
