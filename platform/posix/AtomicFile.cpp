#include "platform/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const std::string& AWhat, const std::string& AFile, const std::string& ACause) {
    throw EAtomicWriteError(AWhat + " " + AFile + ": " + ACause);
}

std::string FolderOf(const std::string& AFile) {
    const auto slash = AFile.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : AFile.substr(0, slash);
}

void WriteAll(int AFd, std::string_view AData, const std::string& AFile) {
    for (std::size_t done = 0; done < AData.size();) {
        const ssize_t n = ::write(AFd, AData.data() + done, AData.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail("cannot write", AFile, std::strerror(n < 0 ? errno : EIO));
        done += std::size_t(n);
    }
}

} // namespace

void ReplaceFileContents(const std::string& AFileName, std::string_view AData) {
    // A new file gets the mode the umask leaves; a replaced one keeps its own.
    std::optional<mode_t> keptMode;
    struct stat st {};
    if (::lstat(AFileName.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            Fail("cannot replace", AFileName, "not a regular file");
        keptMode = st.st_mode & 07777;
    } else if (errno != ENOENT) {
        Fail("cannot write", AFileName, std::strerror(errno));
    }
    // Unique within the process too, so that two threads saving the same file do not collide.
    static std::atomic<unsigned> counter{0};
    const std::string temp =
        AFileName + "." + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
    // O_EXCL: a leftover or planted file of that name is never written through.
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        Fail("cannot write", AFileName,
             std::string("cannot create a temporary file beside it: ") + std::strerror(errno));
    int error = 0;
    try {
        WriteAll(fd, AData, AFileName);
    } catch (...) {
        ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
    if ((keptMode && ::fchmod(fd, *keptMode) != 0) || ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temp.c_str(), AFileName.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temp.c_str());
        Fail("cannot write", AFileName, std::strerror(error));
    }
    // The rename itself is durable only once the folder is flushed.
    const int folder = ::open(FolderOf(AFileName).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
}
