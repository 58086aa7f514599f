#include "usbip/UsbIpProtocol.h"

#include "platform/LittleEndian.h"
#include "platform/UsbDescriptorWalk.h"
#include "platform/UsbWire.h"
#include "platform/WinError.h"

#include <cstdio>
#include <cstring>

namespace {

void AppendBE16(std::vector<uint8_t>& ABytes, uint16_t AValue) {
    ABytes.resize(ABytes.size() + 2);
    uint8_t* p = ABytes.data() + ABytes.size() - 2;
    p[0] = uint8_t(AValue >> 8);
    p[1] = uint8_t(AValue);
}

void AppendBE32(std::vector<uint8_t>& ABytes, uint32_t AValue) {
    ABytes.resize(ABytes.size() + 4);
    uint8_t* p = ABytes.data() + ABytes.size() - 4;
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(AValue >> (24 - 8 * i));
}

uint16_t GetBE16(const uint8_t* ABytes) {
    return uint16_t(ABytes[0] << 8 | ABytes[1]);
}

uint32_t GetBE32(const uint8_t* ABytes) {
    return uint32_t(ABytes[0]) << 24 | uint32_t(ABytes[1]) << 16 | uint32_t(ABytes[2]) << 8 | ABytes[3];
}

// A text in a fixed-size, NUL-padded field (cut to leave room for the NUL).
void AppendText(std::vector<uint8_t>& ABytes, const std::string& AText, size_t ASize) {
    const size_t start = ABytes.size();
    ABytes.resize(start + ASize, 0);
    std::memcpy(ABytes.data() + start, AText.data(), std::min(AText.size(), ASize - 1));
}

std::string GetText(const uint8_t* ABytes, size_t ASize) {
    return std::string(reinterpret_cast<const char*>(ABytes),
                       strnlen(reinterpret_cast<const char*>(ABytes), ASize));
}

uint32_t UsbIpSpeedOf(TUsbSpeed ASpeed) {
    switch (ASpeed) {
    case TUsbSpeed::Low:
        return USBIP_SPEED_LOW;
    case TUsbSpeed::High:
        return USBIP_SPEED_HIGH;
    case TUsbSpeed::Super:
        return USBIP_SPEED_SUPER;
    case TUsbSpeed::Full:
        break;
    }
    return USBIP_SPEED_FULL;
}

} // namespace

std::vector<uint8_t> EncodeOpHeader(uint16_t ACode, uint32_t AStatus) {
    std::vector<uint8_t> bytes;
    AppendBE16(bytes, USBIP_VERSION);
    AppendBE16(bytes, ACode);
    AppendBE32(bytes, AStatus);
    return bytes;
}

TUsbIpOpHeader DecodeOpHeader(const uint8_t* ABytes) {
    return {GetBE16(ABytes), GetBE16(ABytes + 2), GetBE32(ABytes + 4)};
}

std::vector<uint8_t> EncodeImportRequest(const std::string& ABusId) {
    std::vector<uint8_t> bytes = EncodeOpHeader(OP_REQ_IMPORT, 0);
    AppendText(bytes, ABusId, USBIP_BUSID_SIZE);
    return bytes;
}

std::optional<std::string> DecodeBusId(const uint8_t* ABytes) {
    if (std::memchr(ABytes, 0, USBIP_BUSID_SIZE) == nullptr)
        return std::nullopt;
    return GetText(ABytes, USBIP_BUSID_SIZE);
}

void AppendDeviceRecord(std::vector<uint8_t>& ABytes, const TUsbIpDeviceRecord& ARecord) {
    AppendText(ABytes, ARecord.Path, USBIP_PATH_SIZE);
    AppendText(ABytes, ARecord.BusId, USBIP_BUSID_SIZE);
    AppendBE32(ABytes, ARecord.dwBusNum);
    AppendBE32(ABytes, ARecord.dwDevNum);
    AppendBE32(ABytes, ARecord.dwSpeed);
    AppendBE16(ABytes, ARecord.idVendor);
    AppendBE16(ABytes, ARecord.idProduct);
    AppendBE16(ABytes, ARecord.bcdDevice);
    ABytes.insert(ABytes.end(), {ARecord.bDeviceClass, ARecord.bDeviceSubClass, ARecord.bDeviceProtocol,
                                 ARecord.bConfigurationValue, ARecord.bNumConfigurations,
                                 uint8_t(ARecord.Interfaces.size())});
}

TUsbIpDeviceRecord DecodeDeviceRecord(const uint8_t* ABytes) {
    TUsbIpDeviceRecord record;
    record.Path = GetText(ABytes, USBIP_PATH_SIZE);
    const uint8_t* p = ABytes + USBIP_PATH_SIZE;
    record.BusId = GetText(p, USBIP_BUSID_SIZE);
    p += USBIP_BUSID_SIZE;
    record.dwBusNum = GetBE32(p);
    record.dwDevNum = GetBE32(p + 4);
    record.dwSpeed = GetBE32(p + 8);
    record.idVendor = GetBE16(p + 12);
    record.idProduct = GetBE16(p + 14);
    record.bcdDevice = GetBE16(p + 16);
    record.bDeviceClass = p[18];
    record.bDeviceSubClass = p[19];
    record.bDeviceProtocol = p[20];
    record.bConfigurationValue = p[21];
    record.bNumConfigurations = p[22];
    // p[23], the interface count, tells what follows a device list's record.
    return record;
}

TUsbIpDeviceRecord DescribeWire(const TUsbWire& AWire, uint32_t ABusNum, uint32_t ADevNum) {
    TUsbIpDeviceRecord record;
    record.BusId = std::to_string(ABusNum) + "-" + std::to_string(ADevNum);
    record.Path = "/sys/devices/kelvo-usbip-bench/usb" + std::to_string(ABusNum) + "/" + record.BusId;
    record.dwBusNum = ABusNum;
    record.dwDevNum = ADevNum;
    record.dwSpeed = UsbIpSpeedOf(AWire.Speed());
    const auto device = AWire.DeviceDescriptor();
    if (device.size() >= USB_DEVICE_DESCRIPTOR_SIZE) {
        record.bDeviceClass = device[4];
        record.bDeviceSubClass = device[5];
        record.bDeviceProtocol = device[6];
        record.idVendor = GetLE16(&device[8]);
        record.idProduct = GetLE16(&device[10]);
        record.bcdDevice = GetLE16(&device[12]);
        record.bNumConfigurations = device[17];
    }
    // The interfaces of the configuration: each descriptor's length, type, then its own fields.
    const auto configuration = AWire.ConfigurationDescriptor();
    if (configuration.size() >= 9)
        record.bConfigurationValue = configuration[5];
    for (TUsbDescriptorWalk d(configuration); !d.AtEnd(); d.Advance())
        if (d.Type() == USB_DESCRIPTOR_INTERFACE && d.Length() >= USB_INTERFACE_DESCRIPTOR_SIZE)
            record.Interfaces.push_back({d[5], d[6], d[7]});
    return record;
}

std::vector<uint8_t> EncodeDeviceList(const std::vector<TUsbIpDeviceRecord>& ADevices) {
    std::vector<uint8_t> bytes = EncodeOpHeader(OP_REP_DEVLIST, USBIP_ST_OK);
    AppendBE32(bytes, uint32_t(ADevices.size()));
    for (const TUsbIpDeviceRecord& device : ADevices) {
        AppendDeviceRecord(bytes, device);
        for (const auto& interface : device.Interfaces)
            bytes.insert(bytes.end(), {interface[0], interface[1], interface[2], 0});
    }
    return bytes;
}

std::vector<uint8_t> EncodeImportReply(const TUsbIpDeviceRecord* ADevice) {
    std::vector<uint8_t> bytes = EncodeOpHeader(OP_REP_IMPORT, ADevice ? USBIP_ST_OK : USBIP_ST_NA);
    if (ADevice)
        AppendDeviceRecord(bytes, *ADevice);
    return bytes;
}

std::vector<uint8_t> EncodeUrbHeader(const TUsbIpUrbHeader& AHeader) {
    std::vector<uint8_t> bytes;
    for (uint32_t word :
         {AHeader.dwCommand, AHeader.dwSeqNum, AHeader.dwDevId, AHeader.dwDirection, AHeader.dwEndpoint})
        AppendBE32(bytes, word);
    switch (AHeader.dwCommand) {
    case USBIP_CMD_SUBMIT:
        for (uint32_t word : {AHeader.dwTransferFlags, AHeader.dwTransferBufferLength, AHeader.dwStartFrame,
                              AHeader.dwNumberOfPackets, AHeader.dwInterval})
            AppendBE32(bytes, word);
        bytes.insert(bytes.end(), AHeader.Setup.begin(), AHeader.Setup.end());
        break;
    case USBIP_RET_SUBMIT:
        for (uint32_t word : {uint32_t(AHeader.iStatus), AHeader.dwActualLength, AHeader.dwStartFrame,
                              AHeader.dwNumberOfPackets, AHeader.dwErrorCount})
            AppendBE32(bytes, word);
        break;
    case USBIP_CMD_UNLINK:
        AppendBE32(bytes, AHeader.dwUnlinkSeqNum);
        break;
    case USBIP_RET_UNLINK:
        AppendBE32(bytes, uint32_t(AHeader.iStatus));
        break;
    default:
        break;
    }
    bytes.resize(USBIP_URB_HEADER_SIZE, 0);
    return bytes;
}

TUsbIpUrbHeader DecodeUrbHeader(const uint8_t* ABytes) {
    TUsbIpUrbHeader header;
    header.dwCommand = GetBE32(ABytes);
    header.dwSeqNum = GetBE32(ABytes + 4);
    header.dwDevId = GetBE32(ABytes + 8);
    header.dwDirection = GetBE32(ABytes + 12);
    header.dwEndpoint = GetBE32(ABytes + 16);
    const uint8_t* own = ABytes + 20;
    switch (header.dwCommand) {
    case USBIP_CMD_SUBMIT:
        header.dwTransferFlags = GetBE32(own);
        header.dwTransferBufferLength = GetBE32(own + 4);
        header.dwStartFrame = GetBE32(own + 8);
        header.dwNumberOfPackets = GetBE32(own + 12);
        header.dwInterval = GetBE32(own + 16);
        std::memcpy(header.Setup.data(), own + 20, header.Setup.size());
        break;
    case USBIP_RET_SUBMIT:
        header.iStatus = int32_t(GetBE32(own));
        header.dwActualLength = GetBE32(own + 4);
        header.dwStartFrame = GetBE32(own + 8);
        header.dwNumberOfPackets = GetBE32(own + 12);
        header.dwErrorCount = GetBE32(own + 16);
        break;
    case USBIP_CMD_UNLINK:
        header.dwUnlinkSeqNum = GetBE32(own);
        break;
    case USBIP_RET_UNLINK:
        header.iStatus = int32_t(GetBE32(own));
        break;
    default:
        break;
    }
    return header;
}

bool CheckClientCommand(const TUsbIpUrbHeader& AHeader, std::string& AError) {
    if (AHeader.dwCommand == USBIP_CMD_UNLINK)
        return true;
    if (AHeader.dwCommand != USBIP_CMD_SUBMIT)
        AError = "unknown command " + HexText(AHeader.dwCommand);
    else if (AHeader.dwDirection != USBIP_DIR_OUT && AHeader.dwDirection != USBIP_DIR_IN)
        AError = "direction " + HexText(AHeader.dwDirection);
    else if (AHeader.dwEndpoint > 15)
        AError = "endpoint " + HexText(AHeader.dwEndpoint);
    else if (AHeader.dwTransferBufferLength > USBIP_MAX_TRANSFER_LENGTH)
        AError = "transfer of " + std::to_string(AHeader.dwTransferBufferLength) + " bytes";
    // Non-isochronous transfers carry 0 packets (older kernels) or 0xffffffff.
    else if (AHeader.dwNumberOfPackets != 0 && AHeader.dwNumberOfPackets != 0xffffffffu)
        AError = "isochronous transfer";
    else
        return true;
    return false;
}

int32_t UsbIpStatusOf(uint32_t AWireResult) {
    switch (AWireResult) {
    case ERROR_SUCCESS:
        return 0;
    case ERROR_GEN_FAILURE:
        return USBIP_EPIPE;
    case ERROR_SEM_TIMEOUT:
        return USBIP_ETIMEDOUT;
    case ERROR_OPERATION_ABORTED:
        return USBIP_ECONNRESET;
    case ERROR_DEVICE_NOT_CONNECTED:
        return USBIP_ENODEV;
    case ERROR_INSUFFICIENT_BUFFER:
        return USBIP_EOVERFLOW;
    case ERROR_INVALID_PARAMETER:
        return USBIP_EINVAL;
    default:
        return USBIP_EPROTO;
    }
}

std::string HexText(uint32_t AValue) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", AValue);
    return text;
}
