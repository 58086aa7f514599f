#include "FileContents.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

std::string ReadFileContents(const std::string& AFileName, std::size_t AMaxBytes) {
    // The name is UTF-8 on every system; the path object hands it to the system in its own form.
    const std::filesystem::path path(std::u8string(AFileName.begin(), AFileName.end()));
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw TFileContentsError("cannot open " + AFileName + ": " + std::strerror(errno ? errno : ENOENT));
    std::string data;
    char chunk[65536];
    while (data.size() <= AMaxBytes) {
        in.read(chunk, std::streamsize(std::min(sizeof chunk, AMaxBytes + 1 - data.size())));
        const std::streamsize n = in.gcount();
        if (n > 0)
            data.append(chunk, std::size_t(n));
        if (in.eof())
            break;
        if (!in)
            throw TFileContentsError("cannot read " + AFileName + ": " + std::strerror(errno ? errno : EIO));
    }
    return data;
}
