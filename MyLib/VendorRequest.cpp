#include "MyLib/VendorRequest.h"

#include "platform/HexText.h"
#include "platform/LittleEndian.h"

#include <cstdio>
#include <cstring>
#include <random>

namespace {

// Header bytes of the transport form: random byte, direction, request, value, index, length.
constexpr std::size_t KHeaderSize = 9;

uint8_t NextKey(uint8_t AKey, uint8_t APlain) {
    return uint8_t(uint8_t(AKey + APlain) ^ VENDOR_REQUEST_MIX);
}

uint8_t RandomByte() {
    thread_local std::mt19937 gen{std::random_device{}()};
    return uint8_t(std::uniform_int_distribution<int>(0, 254)(gen));
}

// Reads the text as hexadecimal byte pairs; false when any character is not a hexadecimal digit.
bool HexToBytes(const std::string& AText, std::vector<uint8_t>& ABytes) {
    ABytes.resize(AText.size() / 2);
    for (std::size_t i = 0; i < ABytes.size(); ++i) {
        int hi = HexDigitValue(AText[2 * i]);
        int lo = HexDigitValue(AText[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        ABytes[i] = uint8_t(hi * 16 + lo);
    }
    return true;
}

void AppendHex(std::string& AText, uint8_t AByte) {
    static const char KDigits[] = "0123456789ABCDEF";
    AText += KDigits[AByte >> 4];
    AText += KDigits[AByte & 15];
}

} // namespace

TVendorRequest::TVendorRequest(uint8_t AReq, uint16_t AValue, uint16_t AIndex, uint16_t ALen,
                               const void* AData)
    : bRequest(AReq), wValue(AValue), wIndex(AIndex) {
    AddData(AData, ALen);
}

void TVendorRequest::AddData(const void* AData, uint16_t ASize) {
    Buffer.assign(ASize, 0);
    if (AData && ASize)
        std::memcpy(Buffer.data(), AData, ASize);
    wLength = ASize;
}

void TVendorRequest::ClearData() {
    Buffer.clear();
    wLength = 0;
}

std::string TVendorRequest::InfoStr() const {
    char head[128];
    std::snprintf(head, sizeof head,
                  "{bDirection = %d, bRequest = 0x%X, wValue = 0x%X, wIndex = 0x%X, wLength = %d", bDirection,
                  bRequest, wValue, wIndex, wLength);
    std::string text = head;
    if (wLength > 0) {
        text += " {";
        // A read request not yet executed has no answer to show; its data group shows what is held.
        for (std::size_t i = 0; i < Buffer.size() && i < wLength; ++i) {
            if (i)
                text += ',';
            AppendHex(text, Buffer[i]);
        }
        text += '}';
    }
    text += '}';
    return text;
}

std::string TVendorRequest::ToStr() const {
    std::vector<uint8_t> plain = {RandomByte(), bDirection, bRequest, 0, 0, 0, 0, 0, 0};
    PutLE16(&plain[3], wValue);
    PutLE16(&plain[5], wIndex);
    PutLE16(&plain[7], wLength);
    // A record whose buffer is shorter than wLength sends zeros for the missing bytes.
    for (std::size_t i = 0; i < wLength; ++i)
        plain.push_back(i < Buffer.size() ? Buffer[i] : 0);

    std::string text;
    text.reserve(2 * (plain.size() + 1));
    uint8_t key = 0;
    for (uint8_t b : plain) {
        AppendHex(text, uint8_t(b ^ key));
        key = NextKey(key, b);
    }
    AppendHex(text, uint8_t(~key));
    return text;
}

bool TVendorRequest::FromStr(const std::string& AText) {
    if (AText.size() <= 19 || AText.size() % 2 != 0)
        return false;
    std::vector<uint8_t> masked;
    if (!HexToBytes(AText, masked))
        return false;

    // Unmask everything but the check byte, then compare the check byte with the final key.
    std::vector<uint8_t> plain(masked.size() - 1);
    uint8_t key = 0;
    for (std::size_t i = 0; i < plain.size(); ++i) {
        plain[i] = uint8_t(masked[i] ^ key);
        key = NextKey(key, plain[i]);
    }
    if (uint8_t(~masked.back()) != key)
        return false;

    // A request without data ignores whatever follows its header; one with data must fill the text.
    uint16_t length = GetLE16(&plain[7]);
    if (length != 0 && plain.size() != KHeaderSize + length)
        return false;

    // Only a text that decoded whole changes the record.
    bDirection = plain[1];
    bRequest = plain[2];
    wValue = GetLE16(&plain[3]);
    wIndex = GetLE16(&plain[5]);
    wLength = length;
    Buffer.assign(plain.begin() + KHeaderSize, plain.begin() + KHeaderSize + length);
    return true;
}
