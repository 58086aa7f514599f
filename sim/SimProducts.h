#pragma once
// The simulator's own view of the family's USB identities: which interface class a product id is
// published under, and the standard descriptors a device sends. Kept apart from MyLib on purpose,
// so a wrong table or layout on either side shows up as a failing test.
#include "platform/Guid.h"

#include <cstdint>
#include <vector>

// Vendor id every simulated family device reports.
constexpr uint16_t SIM_VENDOR_ID = 0x1209;
// Interface class of the bootloader every family device turns into for programming.
extern const TGUID SIM_STUB_INTERFACE_CLASS;

// The interface class published for AProductId; the all-zero GUID for ids outside the family.
TGUID SimInterfaceClassOf(uint16_t AProductId);

// What a family device tells in its device descriptor beyond its ids, so that a host without the
// family's driver installation knows what it is: bDeviceSubClass 0x01 for a device running its
// bootloader (0xFF running firmware), bDeviceProtocol 0x01 for a device made for the generic driver
// (0xFF the family's own driver).
constexpr uint8_t SIM_SUBCLASS_BOOTLOADER = 0x01;
constexpr uint8_t SIM_PROTOCOL_GENERIC = 0x01;

struct TSimDeviceIdentity {
    uint16_t ProductId = 0;
    uint16_t VendorId = SIM_VENDOR_ID;
    uint16_t BcdUsb = 0x0200;
    uint16_t BcdDevice = 0x0100;
    uint8_t MaxPacketSize0 = 64;
    uint8_t DeviceSubClass = 0xFF;
    uint8_t DeviceProtocol = 0xFF;
};

// The 18-byte standard device descriptor, little-endian on the wire.
std::vector<uint8_t> SimDeviceDescriptorBytes(const TSimDeviceIdentity& AIdentity);

struct TSimPipe {
    uint8_t Address = 0;    // bit 7 set for IN
    uint8_t Attributes = 0; // 2 bulk, 3 interrupt
    uint16_t MaxPacketSize = 64;
    uint8_t Interval = 0;
};

// The interface descriptor (9 bytes) of interface 0 with vendor class 0xFF and the given endpoints.
std::vector<uint8_t> SimInterfaceDescriptorBytes(uint8_t AEndpointCount);
// Configuration descriptor with its interface and endpoint descriptors behind it.
std::vector<uint8_t> SimConfigurationDescriptorBytes(const std::vector<TSimPipe>& APipes);
