#include "platform/Resources.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>

namespace {

std::string Folded(const std::string& AName) {
    std::string s = AName;
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return s;
}

// Function-local so registration from any static initialiser finds it constructed.
std::map<std::string, TResourceBlob>& Registry() {
    static std::map<std::string, TResourceBlob> registry;
    return registry;
}

std::mutex& RegistryLock() {
    static std::mutex lock;
    return lock;
}

} // namespace

void RegisterResource(const std::string& AName, const void* AData, std::size_t ASize) {
    std::lock_guard<std::mutex> guard(RegistryLock());
    Registry()[Folded(AName)] = TResourceBlob{static_cast<const uint8_t*>(AData), ASize};
}

bool FindResource(const std::string& AName, TResourceBlob& ABlob) {
    std::lock_guard<std::mutex> guard(RegistryLock());
    auto it = Registry().find(Folded(AName));
    if (it == Registry().end())
        return false;
    ABlob = it->second;
    return true;
}

TMemoryReadStream::TBuffer::TBuffer(const void* AData, std::size_t ASize) {
    // The get area is only ever read; streambuf just wants non-const pointers.
    char* begin = const_cast<char*>(static_cast<const char*>(AData));
    setg(begin, begin, begin + ASize);
}

std::streambuf::pos_type TMemoryReadStream::TBuffer::seekoff(off_type AOffset, std::ios_base::seekdir ADir,
                                                             std::ios_base::openmode AMode) {
    if (!(AMode & std::ios_base::in))
        return pos_type(off_type(-1));
    off_type base = ADir == std::ios_base::beg   ? 0
                    : ADir == std::ios_base::cur ? off_type(gptr() - eback())
                                                 : off_type(egptr() - eback());
    off_type target = base + AOffset;
    if (target < 0 || target > off_type(egptr() - eback()))
        return pos_type(off_type(-1));
    setg(eback(), eback() + target, egptr());
    return pos_type(target);
}

std::streambuf::pos_type TMemoryReadStream::TBuffer::seekpos(pos_type APos, std::ios_base::openmode AMode) {
    return seekoff(off_type(APos), std::ios_base::beg, AMode);
}

TMemoryReadStream::TMemoryReadStream(const void* AData, std::size_t ASize)
    : std::istream(nullptr), fBuffer(AData, ASize) {
    rdbuf(&fBuffer);
}
