#pragma once
// One vendor control request (direction, code, value, index, data) as a value that can be kept,
// logged and carried as one line of masked hexadecimal text, then executed later exactly as
// written (TCommonKelvoUsbDevice::VendorRequest).
#include <cstdint>
#include <string>
#include <vector>

// The transport form's fixed key-mixing byte; texts are exchanged only between peers sharing it.
constexpr uint8_t VENDOR_REQUEST_MIX = 0x6B;

class TVendorRequest {
public:
    TVendorRequest() = default;
    // Host-to-device request. Len bytes are copied from AData; with no data the buffer is zero-filled.
    TVendorRequest(uint8_t AReq, uint16_t AValue, uint16_t AIndex, uint16_t ALen, const void* AData);

    // Replaces the data: ASize bytes copied from AData (zero-filled when AData is null).
    void AddData(const void* AData, uint16_t ASize);
    // Drops the data buffer; wLength becomes 0.
    void ClearData();

    // Readable form for logs: "{bDirection = 192, bRequest = 0x45, ... wLength = 4 {01,02,03,04}}".
    std::string InfoStr() const;
    // Masked transport form: a fresh random first byte each call, then the header, the data and a
    // check byte, as upper-case hexadecimal.
    std::string ToStr() const;
    // Decodes a transport text. On any malformed text it returns false and leaves the record as it was.
    bool FromStr(const std::string& AText);

    bool IsDeviceToHost() const { return (bDirection & 0x80) != 0; }
    // For a host-to-device request: whether the buffer holds the wLength bytes to send.
    bool HasData() const { return Buffer.size() >= wLength; }

    uint8_t bDirection = 0; // bit 7 set: device-to-host
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;        // bytes to send, or bytes to ask for
    std::vector<uint8_t> Buffer; // the data sent, or the answer of the last read
    uint32_t wWasRead = 0;       // bytes received by the last device-to-host execution
};
using PVendorRequest = TVendorRequest*;
