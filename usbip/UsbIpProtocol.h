#pragma once
// The USB/IP protocol, version 1.1.1 (0x0111), as a Linux kernel's vhci-hcd and the usbip tools
// speak it over TCP. Every field is big-endian.
//
// Before import, a connection carries one operation: an 8-byte header (version, code, status),
// then OP_REQ_IMPORT's 32-byte bus id; replies carry the same header and, for a device, its
// 312-byte record (OP_REP_DEVLIST adds a device count and 4 bytes per interface). After a
// successful import the connection carries URB commands, each a 48-byte header: five 32-bit words
// (command, sequence number, device id, direction, endpoint) and 28 bytes of the command's own;
// CMD_SUBMIT of an OUT transfer is followed by its data, RET_SUBMIT of an IN transfer by the data
// received.
//
// URB status (RET_SUBMIT) is a negated Linux errno; the wire's results map to it so:
//   ERROR_SUCCESS 0, ERROR_GEN_FAILURE -EPIPE (stall), ERROR_SEM_TIMEOUT -ETIMEDOUT,
//   ERROR_OPERATION_ABORTED -ECONNRESET (unlinked), ERROR_DEVICE_NOT_CONNECTED -ENODEV,
//   ERROR_INSUFFICIENT_BUFFER -EOVERFLOW, ERROR_INVALID_PARAMETER -EINVAL, any other -EPROTO.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TUsbWire;

constexpr uint16_t USBIP_VERSION = 0x0111;
constexpr uint16_t OP_REQ_DEVLIST = 0x8005;
constexpr uint16_t OP_REP_DEVLIST = 0x0005;
constexpr uint16_t OP_REQ_IMPORT = 0x8003;
constexpr uint16_t OP_REP_IMPORT = 0x0003;
constexpr uint32_t USBIP_ST_OK = 0;
constexpr uint32_t USBIP_ST_NA = 1; // no such device, or it is imported already

constexpr uint32_t USBIP_CMD_SUBMIT = 1;
constexpr uint32_t USBIP_CMD_UNLINK = 2;
constexpr uint32_t USBIP_RET_SUBMIT = 3;
constexpr uint32_t USBIP_RET_UNLINK = 4;
constexpr uint32_t USBIP_DIR_OUT = 0;
constexpr uint32_t USBIP_DIR_IN = 1;

constexpr size_t USBIP_OP_HEADER_SIZE = 8;
constexpr size_t USBIP_BUSID_SIZE = 32;
constexpr size_t USBIP_PATH_SIZE = 256;
constexpr size_t USBIP_DEVICE_RECORD_SIZE = 312;
constexpr size_t USBIP_URB_HEADER_SIZE = 48;
// The largest transfer a client may ask for; a larger one is taken as an attack, not a request.
constexpr uint32_t USBIP_MAX_TRANSFER_LENGTH = 1u << 20;

// The speeds of the records and of vhci-hcd's attach line (Linux's enum usb_device_speed).
constexpr uint32_t USBIP_SPEED_LOW = 1;
constexpr uint32_t USBIP_SPEED_FULL = 2;
constexpr uint32_t USBIP_SPEED_HIGH = 3;
constexpr uint32_t USBIP_SPEED_SUPER = 5;

constexpr int32_t USBIP_EPIPE = -32;
constexpr int32_t USBIP_ETIMEDOUT = -110;
constexpr int32_t USBIP_ECONNRESET = -104;
constexpr int32_t USBIP_ENODEV = -19;
constexpr int32_t USBIP_EOVERFLOW = -75;
constexpr int32_t USBIP_EINVAL = -22;
constexpr int32_t USBIP_EPROTO = -71;

struct TUsbIpOpHeader {
    uint16_t wVersion;
    uint16_t wCode;
    uint32_t dwStatus;
};
using PUsbIpOpHeader = TUsbIpOpHeader*;

// One exported device as OP_REP_DEVLIST and OP_REP_IMPORT describe it.
struct TUsbIpDeviceRecord {
    std::string Path;  // sysfs-like path, informative only
    std::string BusId; // "BUS-PORT", what an import names
    uint32_t dwBusNum = 0;
    uint32_t dwDevNum = 0;
    uint32_t dwSpeed = USBIP_SPEED_FULL;
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t bcdDevice = 0;
    uint8_t bDeviceClass = 0;
    uint8_t bDeviceSubClass = 0;
    uint8_t bDeviceProtocol = 0;
    uint8_t bConfigurationValue = 0;
    uint8_t bNumConfigurations = 0;
    // Class, subclass and protocol of each interface (device lists only).
    std::vector<std::array<uint8_t, 3>> Interfaces;

    // The device id of the URB headers: bus number and device number.
    uint32_t DevId() const { return dwBusNum << 16 | dwDevNum; }
};
using PUsbIpDeviceRecord = TUsbIpDeviceRecord*;

// The header of a URB command or reply; the fields a command does not use stay 0.
struct TUsbIpUrbHeader {
    uint32_t dwCommand = 0;
    uint32_t dwSeqNum = 0;
    uint32_t dwDevId = 0;
    uint32_t dwDirection = 0;
    uint32_t dwEndpoint = 0;
    // CMD_SUBMIT
    uint32_t dwTransferFlags = 0;
    uint32_t dwTransferBufferLength = 0;
    uint32_t dwStartFrame = 0;
    uint32_t dwNumberOfPackets = 0;
    uint32_t dwInterval = 0;
    std::array<uint8_t, 8> Setup{};
    // CMD_UNLINK
    uint32_t dwUnlinkSeqNum = 0;
    // RET_SUBMIT (status, actual length, start frame, number of packets, error count) and RET_UNLINK
    // (status)
    int32_t iStatus = 0;
    uint32_t dwActualLength = 0;
    uint32_t dwErrorCount = 0;
};
using PUsbIpUrbHeader = TUsbIpUrbHeader*;

std::vector<uint8_t> EncodeOpHeader(uint16_t ACode, uint32_t AStatus);
TUsbIpOpHeader DecodeOpHeader(const uint8_t* ABytes);

std::vector<uint8_t> EncodeImportRequest(const std::string& ABusId);
// The bus id of an import request's 32 bytes; none when it is not NUL-terminated inside them.
std::optional<std::string> DecodeBusId(const uint8_t* ABytes);

// The device record's 312 bytes (without interfaces), and back.
void AppendDeviceRecord(std::vector<uint8_t>& ABytes, const TUsbIpDeviceRecord& ARecord);
TUsbIpDeviceRecord DecodeDeviceRecord(const uint8_t* ABytes);
// The record a USB/IP server gives for AWire (its descriptors) under the bus id "ABusNum-ADevNum".
TUsbIpDeviceRecord DescribeWire(const TUsbWire& AWire, uint32_t ABusNum, uint32_t ADevNum);
std::vector<uint8_t> EncodeDeviceList(const std::vector<TUsbIpDeviceRecord>& ADevices);
// OP_REP_IMPORT: the record when ADevice is given, else status USBIP_ST_NA alone.
std::vector<uint8_t> EncodeImportReply(const TUsbIpDeviceRecord* ADevice);

// The 48 header bytes of a URB command or reply (the fields of AHeader.dwCommand's kind).
std::vector<uint8_t> EncodeUrbHeader(const TUsbIpUrbHeader& AHeader);
TUsbIpUrbHeader DecodeUrbHeader(const uint8_t* ABytes);
// Whether a client's command may be carried out; AError says why not. Checks the command code,
// direction, endpoint, transfer length (at most USBIP_MAX_TRANSFER_LENGTH) and that it is not an
// isochronous transfer.
bool CheckClientCommand(const TUsbIpUrbHeader& AHeader, std::string& AError);

// The URB status for a wire result (the table above).
int32_t UsbIpStatusOf(uint32_t AWireResult);

// A protocol value as the server's log shows it: 0x and upper-case hexadecimal digits.
std::string HexText(uint32_t AValue);
