#include "MyLib/CRC32.h"

#include <zlib.h>

uint32_t CRC32Update(uint32_t ACrc, const void* AData, std::size_t ASize) {
    return uint32_t(crc32_z(ACrc, static_cast<const Bytef*>(AData), ASize));
}

uint32_t CRC32(const void* AData, std::size_t ASize) {
    return CRC32Update(0, AData, ASize);
}
