#pragma once
// The descriptors inside a configuration descriptor, one after the other, and the descriptor types
// and standard request types the code names instead of writing them as numbers.
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint8_t USB_DESCRIPTOR_INTERFACE = 4;
constexpr uint8_t USB_DESCRIPTOR_ENDPOINT = 5;
constexpr uint8_t USB_INTERFACE_DESCRIPTOR_SIZE = 9;
constexpr uint8_t USB_ENDPOINT_DESCRIPTOR_SIZE = 7;

// bmRequestType of the standard requests: direction and recipient.
constexpr uint8_t USB_REQUEST_TYPE_DEVICE_IN = 0x80;
constexpr uint8_t USB_REQUEST_TYPE_DEVICE_OUT = 0x00;
constexpr uint8_t USB_REQUEST_TYPE_INTERFACE_OUT = 0x01;
constexpr uint8_t USB_REQUEST_TYPE_ENDPOINT_OUT = 0x02;

// Walks the descriptors of AConfig from AFrom; each holds its length in its first byte and its type
// in its second. The walk ends at the end of AConfig or at a descriptor shorter than 2 bytes or
// running past the end, which Malformed then reports: a device may send any bytes at all.
class TUsbDescriptorWalk {
public:
    explicit TUsbDescriptorWalk(const std::vector<uint8_t>& AConfig, std::size_t AFrom = 0)
        : fConfig(AConfig), fAt(AFrom) {}

    bool AtEnd() const { return fAt >= fConfig.size() || Malformed(); }
    bool Malformed() const {
        return fAt < fConfig.size() && (fConfig[fAt] < 2 || fAt + fConfig[fAt] > fConfig.size());
    }
    void Advance() { fAt += fConfig[fAt]; }

    uint8_t Length() const { return fConfig[fAt]; }
    uint8_t Type() const { return fConfig[fAt + 1]; }
    // Byte AIndex of the current descriptor; AIndex must be below Length().
    uint8_t operator[](std::size_t AIndex) const { return fConfig[fAt + AIndex]; }
    const uint8_t* Bytes() const { return &fConfig[fAt]; }

private:
    const std::vector<uint8_t>& fConfig;
    std::size_t fAt;
};
