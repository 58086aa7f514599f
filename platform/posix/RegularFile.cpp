#include "platform/RegularFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const std::string& AWhat, const std::string& AFile, int AErrno) {
    throw ERegularFileError(AWhat + " " + AFile + ": " + std::strerror(AErrno));
}

} // namespace

std::optional<std::string> ReadRegularFile(const std::string& AFile, std::size_t AMaxBytes) {
    // O_NONBLOCK keeps a FIFO or device node from blocking the open; anything but a regular file
    // is refused below, before the first read.
    const int fd = ::open(AFile.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;
        Fail("cannot open", AFile, errno);
    }
    struct stat st {};
    int err = 0;
    if (::fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw ERegularFileError("cannot read " + AFile + ": not a regular file");
    } else if (std::size_t(st.st_size) > AMaxBytes)
        err = EFBIG;
    if (err != 0) {
        ::close(fd);
        Fail("cannot read", AFile, err);
    }
    std::string data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = errno;
            ::close(fd);
            Fail("cannot read", AFile, err);
        }
        if (n == 0)
            break;
        data.append(buffer, size_t(n));
        if (data.size() > AMaxBytes) {
            ::close(fd);
            Fail("cannot read", AFile, EFBIG);
        }
    }
    ::close(fd);
    return data;
}
