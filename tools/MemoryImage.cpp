#include "MemoryImage.h"

#include "FileContents.h"
#include "platform/HexText.h"

#include <algorithm>
#include <sstream>

namespace {

constexpr std::size_t AddressSpace = sizeof(TMSP430Memory);

bool IsText(const std::string& AContent) {
    return std::all_of(AContent.begin(), AContent.end(), [](char c) {
        auto u = uint8_t(c);
        return u == '\t' || u == '\n' || u == '\r' || (u >= 32 && u < 127);
    });
}

std::string LineError(const char* AFormat, std::size_t ALine, const std::string& AWhat) {
    return std::string(AFormat) + " line " + std::to_string(ALine) + ": " + AWhat;
}

std::string Stripped(const std::string& ALine) {
    std::size_t first = ALine.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    std::size_t last = ALine.find_last_not_of(" \t\r");
    return ALine.substr(first, last - first + 1);
}

void ParseTiTxt(const std::string& AContent, uint8_t* AMemory) {
    std::istringstream lines(AContent);
    std::string line;
    std::size_t number = 0, address = 0;
    bool haveAddress = false;
    while (std::getline(lines, line)) {
        ++number;
        line = Stripped(line);
        if (line.empty())
            continue;
        if (line == "q" || line == "Q")
            return;
        if (line[0] == '@') {
            std::size_t value = 0;
            if (line.size() < 2 || line.size() > 9)
                throw TMemoryImageError(LineError("TI-TXT", number, "bad address"));
            for (std::size_t i = 1; i < line.size(); ++i) {
                int d = HexDigitValue(line[i]);
                if (d < 0)
                    throw TMemoryImageError(LineError("TI-TXT", number, "bad address"));
                value = value * 16 + std::size_t(d);
            }
            if (value >= AddressSpace)
                throw TMemoryImageError(LineError("TI-TXT", number, "address beyond 0xFFFF"));
            address = value;
            haveAddress = true;
            continue;
        }
        if (!haveAddress)
            throw TMemoryImageError(LineError("TI-TXT", number, "data before the first address"));
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            int hi = word.size() == 2 ? HexDigitValue(word[0]) : -1;
            int lo = word.size() == 2 ? HexDigitValue(word[1]) : -1;
            if (hi < 0 || lo < 0)
                throw TMemoryImageError(LineError("TI-TXT", number, "bad byte \"" + word + "\""));
            if (address >= AddressSpace)
                throw TMemoryImageError(LineError("TI-TXT", number, "data beyond 0xFFFF"));
            AMemory[address++] = uint8_t(hi * 16 + lo);
        }
    }
    throw TMemoryImageError("TI-TXT file has no \"q\" end line");
}

void ParseIntelHex(const std::string& AContent, uint8_t* AMemory) {
    std::istringstream lines(AContent);
    std::string line;
    std::size_t number = 0, base = 0;
    while (std::getline(lines, line)) {
        ++number;
        line = Stripped(line);
        if (line.empty())
            continue;
        if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0)
            throw TMemoryImageError(LineError("Intel HEX", number, "malformed record"));
        std::vector<uint8_t> bytes;
        for (std::size_t i = 1; i < line.size(); i += 2) {
            int hi = HexDigitValue(line[i]), lo = HexDigitValue(line[i + 1]);
            if (hi < 0 || lo < 0)
                throw TMemoryImageError(LineError("Intel HEX", number, "bad hexadecimal digit"));
            bytes.push_back(uint8_t(hi * 16 + lo));
        }
        const std::size_t count = bytes[0];
        if (bytes.size() != count + 5)
            throw TMemoryImageError(LineError("Intel HEX", number, "record length does not match"));
        uint8_t sum = 0;
        for (uint8_t b : bytes)
            sum = uint8_t(sum + b);
        if (sum != 0)
            throw TMemoryImageError(LineError("Intel HEX", number, "checksum mismatch"));
        const std::size_t offset = std::size_t(bytes[1]) << 8 | bytes[2];
        const uint8_t* data = bytes.data() + 4;
        switch (bytes[3]) {
        case 0x00:
            if (base + offset + count > AddressSpace)
                throw TMemoryImageError(LineError("Intel HEX", number, "data beyond 0xFFFF"));
            std::copy(data, data + count, AMemory + base + offset);
            break;
        case 0x01:
            return;
        case 0x02:
        case 0x04:
            if (count != 2)
                throw TMemoryImageError(LineError("Intel HEX", number, "malformed address record"));
            base = (std::size_t(data[0]) << 8 | data[1]) << (bytes[3] == 0x02 ? 4 : 16);
            break;
        case 0x03:
        case 0x05:
            break; // start addresses mean nothing to a memory image
        default:
            throw TMemoryImageError(LineError("Intel HEX", number, "unknown record type"));
        }
    }
    throw TMemoryImageError("Intel HEX file has no end-of-file record");
}

} // namespace

std::unique_ptr<TMSP430Memory> ParseMemoryImage(const std::string& AContent) {
    auto memory = std::make_unique<TMSP430Memory>();
    auto* bytes = reinterpret_cast<uint8_t*>(memory.get());
    std::fill(bytes, bytes + AddressSpace, uint8_t(0xFF));
    std::size_t first = AContent.find_first_not_of(" \t\r\n");
    const bool text = IsText(AContent);
    if (text && first != std::string::npos && AContent[first] == '@')
        ParseTiTxt(AContent, bytes);
    else if (text && first != std::string::npos && AContent[first] == ':')
        ParseIntelHex(AContent, bytes);
    else if (AContent.size() == AddressSpace)
        std::copy(AContent.begin(), AContent.end(), bytes);
    else
        throw TMemoryImageError("not a memory image (TI-TXT, Intel HEX or a raw 65536-byte binary)");
    return memory;
}

std::unique_ptr<TMSP430Memory> ReadMemoryImage(const std::string& AFileName) {
    std::string content;
    try {
        content = ReadFileContents(AFileName, 16 * AddressSpace);
    } catch (const TFileContentsError& e) {
        throw TMemoryImageError(e.what());
    }
    // Anything much larger than a text image of the whole address space is not a memory image.
    if (content.size() > 16 * AddressSpace)
        throw TMemoryImageError(AFileName + ": not a memory image (too large)");
    try {
        return ParseMemoryImage(content);
    } catch (const TMemoryImageError& e) {
        throw TMemoryImageError(AFileName + ": " + e.what());
    }
}
