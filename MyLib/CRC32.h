#pragma once
// CRC-32 of ISO 3309 / ITU-T V.42 (reflected polynomial 0xEDB88320, as in zlib and PNG).
#include <cstddef>
#include <cstdint>

uint32_t CRC32(const void* AData, std::size_t ASize);
// Continues a running checksum; CRC32Update(0, ...) starts one.
uint32_t CRC32Update(uint32_t ACrc, const void* AData, std::size_t ASize);
