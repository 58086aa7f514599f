#include "platform/AppendFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const std::string& AFile, const std::string& ACause) {
    throw EAppendFileError("cannot append to " + AFile + ": " + ACause);
}

} // namespace

void AppendToFile(const std::string& AFileName, std::string_view AData) {
    // O_NONBLOCK keeps a FIFO from blocking the open; O_NOFOLLOW refuses a link in the file's place.
    const int fd =
        ::open(AFileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0)
        Fail(AFileName, std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        Fail(AFileName, "not a regular file");
    }
    int error = 0;
    // O_APPEND places each write at the end; a short write (a full disk) goes on from where it
    // stopped, so the record is never left with a gap inside it.
    for (std::size_t done = 0; done < AData.size() && error == 0;) {
        const ssize_t n = ::write(fd, AData.data() + done, AData.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            error = n < 0 ? errno : EIO;
        else
            done += std::size_t(n);
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0)
        Fail(AFileName, std::strerror(error));
}
