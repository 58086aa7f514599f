#pragma once
// Memory images for the image builder: TI-TXT (the MSP430 toolchains' text output), Intel HEX, or a
// raw binary of the whole 65,536-byte address space, told apart by their content.
#include "MyLib/KelvoFirmware.h"

#include <memory>
#include <stdexcept>
#include <string>

class TMemoryImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Bytes a file does not set stay 0xFF, as in erased flash. Throws TMemoryImageError.
std::unique_ptr<TMSP430Memory> ParseMemoryImage(const std::string& AContent);
std::unique_ptr<TMSP430Memory> ReadMemoryImage(const std::string& AFileName);
