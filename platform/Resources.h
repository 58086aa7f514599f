#pragma once
// Named binary blobs linked into the program, looked up by name (case-insensitive, as the desktop
// OS's raw-data resources are). A blob registers itself from a static object in the library that
// carries it; the data must live as long as the program.
#include <cstddef>
#include <cstdint>
#include <istream>
#include <streambuf>
#include <string>

struct TResourceBlob {
    const uint8_t* Data = nullptr;
    std::size_t Size = 0;
};

void RegisterResource(const std::string& AName, const void* AData, std::size_t ASize);
// False when no blob of that name is linked in.
bool FindResource(const std::string& AName, TResourceBlob& ABlob);

// Registers one blob during static initialisation.
struct TResourceRegistration {
    TResourceRegistration(const char* AName, const void* AData, std::size_t ASize) {
        RegisterResource(AName, AData, ASize);
    }
};

// A read-only, seekable stream over memory that the caller keeps alive (a resource blob).
class TMemoryReadStream : public std::istream {
public:
    TMemoryReadStream(const void* AData, std::size_t ASize);

private:
    class TBuffer : public std::streambuf {
    public:
        TBuffer(const void* AData, std::size_t ASize);

    protected:
        pos_type seekoff(off_type AOffset, std::ios_base::seekdir ADir,
                         std::ios_base::openmode AMode) override;
        pos_type seekpos(pos_type APos, std::ios_base::openmode AMode) override;
    };
    TBuffer fBuffer;
};
