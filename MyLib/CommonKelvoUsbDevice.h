#pragma once
// TCommonKelvoUsbDevice: the base of every USB device of the family. At open it picks the path the
// installed driver allows (the generic driver, or the family's own driver), starts the readers and
// reads the identity. It offers one control-request transport on both paths, the incoming stream as
// data and event calls on the main thread, the bootloader requests every family device answers, the
// family driver's log, and the text forms (regions list, label text).
#include "MyLib/KelvoSerials.h"
#include "MyLib/UsbDevice.h"
#include "MyLib/VendorRequest.h"
#include "MyLib/WinUsb.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#pragma pack(push, 1)
// The standard USB device descriptor as the device sends it.
struct TUsbDeviceDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};
using PUsbDeviceDescriptor = TUsbDeviceDescriptor*;

struct TProtocolVersion {
    uint16_t VersionMajor;
    uint16_t VersionMinor;
};
using PProtocolVersion = TProtocolVersion*;

// The bootloader version of a running device.
struct TKelvoStubVersion {
    uint16_t ActualStubVersion;
    uint16_t UpdateStubVersion;
};
using PKelvoStubVersion = TKelvoStubVersion*;
#pragma pack(pop)
static_assert(sizeof(TUsbDeviceDescriptor) == 18 && sizeof(TProtocolVersion) == 4 &&
              sizeof(TKelvoStubVersion) == 4);

// The device's USB interface chip.
enum TKelvoUsbTransceiver { KELVO_USB_D12 = 0, KELVO_USB_MSP430X5XX = 1 };

// Family-driver control codes.
constexpr uint32_t IOCTL_KELVO_VENDOR_REQUEST = 0x222000;
constexpr uint32_t IOCTL_KELVO_DRIVER_VERSION = 0x222204;
constexpr uint32_t IOCTL_KELVO_DEVICE_DESCRIPTOR = 0x222208;
constexpr uint32_t IOCTL_KELVO_LOG_SIZE = 0x222214;
constexpr uint32_t IOCTL_KELVO_LOG_READ = 0x222218;
// The code of a family-driver function: device type 0x22, buffered, any access.
constexpr uint32_t KelvoControlCode(uint32_t AFunction) {
    return 0x220000 + AFunction * 4;
}

// Legacy stream record types.
constexpr uint8_t KELVO_RECORD_DATA = 0x44;
constexpr uint8_t KELVO_RECORD_EVENT = 0x88;

// Regions mask: 12 market regions; all of them.
constexpr uint16_t KELVO_ALL_REGIONS = 0x0FFF;

// Where a device keeps, across an update, what the update may wipe: the updater's settings file
// of that device. Values are named by key. A write gives false when it did not land; a block read
// gives false unless exactly ASize bytes were stored under the key.
class TDeviceOptionsFile {
public:
    virtual ~TDeviceOptionsFile() = default;
    virtual bool WriteBlock(const std::string& AKey, const void* ABlock, std::size_t ASize) = 0;
    virtual bool WriteInteger(const std::string& AKey, int AValue) = 0;
    virtual bool WriteBool(const std::string& AKey, bool AValue) = 0;
    virtual bool ReadBlock(const std::string& AKey, void* ABlock, std::size_t ASize) = 0;
};

// The key of the calibration block, for the families that keep one.
inline constexpr const char* CalibrationOptionKey = "Calibration";

// How saving or writing back a device's options ended; the updater words each failure in its log.
enum class TOptionsResult {
    Done,
    NotReadFromDevice, // the device did not give its values
    NotStored,         // the options file did not take them
    StoredNotRead,     // the options file holds no usable saved values
    NotSetInDevice,    // the device refused the saved values
    NotFlashed,        // the device took them but could not keep them in its flash
};

class TCommonKelvoUsbDevice;
// A data or event payload; the buffer is the caller's and valid only during the call.
using TUsbDataNotify =
    std::function<void(TCommonKelvoUsbDevice* ASender, const uint8_t* ABuffer, uint32_t ABufferSize)>;
using TUsbEventNotify = TUsbDataNotify;
using TUsbDeviceNotify = std::function<void(TCommonKelvoUsbDevice* ASender)>;

class TCommonKelvoUsbDevice : public TUsbDevice {
public:
    TCommonKelvoUsbDevice(TComponent* AOwner, const std::string& APath);
    // Stops the readers before the descendant's parts go.
    ~TCommonKelvoUsbDevice() override;

    // --- Virtual operations, in this order (the first five are TUsbDevice's) ---
    // Splits a family-driver block into data and event records, then frees it.
    void ProcessData(TUsbBlock ABuffer, uint32_t ABufferSize) override;
    void Initialize() override;
    void Finalize() override;
    bool Open() override;
    void Close() override;
    virtual void DoData(const uint8_t* ABuffer, uint32_t ABufferSize);
    virtual void DoEvent(const uint8_t* ABuffer, uint32_t ABufferSize);
    // Called after every successful GetProtocolVersion.
    virtual void ProtocolVersionChanged();
    // Handlers of the bulk (data) and interrupt (event) pipe readers.
    virtual void DataPipeRead(TWinUsbBulkPipeReader* ASender, TUsbBlock ABuffer, uint32_t ABufferSize);
    virtual void EventPipeRead(TWinUsbBulkPipeReader* ASender, TUsbBlock ABuffer, uint32_t ABufferSize);
    // Reads the serial number into fSerialNum (fSerialNumValid from its validity), copies it to
    // ASerial when given; true when the device answered.
    virtual bool GetSerialNum(PSerialNum ASerial) = 0;
    virtual bool GetVersion(uint16_t& AHW, uint16_t& ASF) = 0;
    virtual bool GetLocked(bool& ALocked) = 0;
    // Sends the key; the device checks it. True when accepted.
    virtual bool Unlock(const TDeviceKey& AKey) = 0;
    // Base: every region.
    virtual bool GetRegions(uint16_t* ARegions);
    virtual bool SetRegions(uint16_t ARegions, PDeviceKey APassword);
    virtual bool NeedToRecoverOptionsAfterUpdate();
    virtual bool CanChangeRegions();
    virtual std::string ModelDescription();
    virtual std::string ModelType();
    virtual bool GetProtocolVersion(PProtocolVersion AVersion);
    virtual std::string DeveloperName() = 0;
    virtual TKelvoUsbTransceiver UsbTransceiver() = 0;
    // Label text: "KX:", the regions and the serial number in the label encodings.
    virtual std::string Code128();
    // The updater's questions, after the operations above. Base: a device with nothing to keep
    // across an update, whose switch into the bootloader is not waited for.
    // Saves into AFile what an update may wipe, before the switch into the bootloader.
    virtual TOptionsResult SaveOptions(TDeviceOptionsFile& AFile);
    // Writes the saved options back into the device when it returns from an update.
    virtual TOptionsResult RecoverOptions(TDeviceOptionsFile& AFile);
    // True when the update stops unless the device confirms the switch into its bootloader;
    // false when it goes on whatever the switch request answered.
    virtual bool NeedToConfirmSwitchToStub();
    // The log line for a switch that NeedToConfirmSwitchToStub waited for and the device refused.
    virtual std::string SwitchToStubError();
    // True when the bootloader must be unplugged and plugged in again after the erase before the
    // image goes in.
    virtual bool NeedToReplugAfterErase();

    // --- Control-request transport (main thread; true on success) ---
    bool VendorRequest(uint8_t bRequest, uint16_t wValue, uint16_t wIndex);
    bool VendorRequestWrite(const void* ABuffer, uint32_t ASize, uint8_t bRequest, uint16_t wValue,
                            uint16_t wIndex);
    // At most ASize bytes; AWasRead receives the count.
    bool VendorRequestRead(void* ABuffer, uint32_t ASize, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                           uint32_t& AWasRead);
    // True only when exactly ASize bytes arrived.
    bool VendorRequestRead(void* ABuffer, uint32_t ASize, uint8_t bRequest, uint16_t wValue, uint16_t wIndex);
    // Executes a request record: a read fills a fresh buffer of vr.wLength bytes and sets wWasRead.
    bool VendorRequest(TVendorRequest& AVr);

    // --- Family-driver operations ---
    // AFunction is the driver function; the control code is built from it.
    bool IoControl(uint32_t AFunction);
    bool IoControl(uint32_t AFunction, const void* AInBuffer, uint32_t AInBufSize);
    // A vendor request through the family driver sending AOutBufferSize bytes behind the request
    // block and accepting up to AInBufferSize bytes into ABufferIn.
    bool DeviceControl(const void* ABufferOut, void* ABufferIn, uint32_t AOutBufferSize,
                       uint32_t AInBufferSize, uint8_t bRequest, uint16_t wValue, uint16_t wIndex);
    bool DeviceControl(uint8_t bRequest, uint16_t wValue, uint16_t wIndex);
    bool GetDriverVersion(uint16_t* AVersion);
    bool GetDeviceDescriptor(PUsbDeviceDescriptor ADeviceDescriptor);
    bool EnableLog();
    bool DisableLog();
    bool ClearLog();
    bool GetLogSize(uint32_t& ASize);
    bool GetLog(void* ABuffer, uint32_t ABufferSize, uint32_t& ALogSize);

    // --- Family-wide device requests ---
    bool SwitchToStub();
    bool GetStubVersion(PKelvoStubVersion AVersion);
    bool CheckStubInfo();
    bool HasUsb30CompatibilityIssue();

    std::string RegionsStr() const;
    void Log(const std::string& AText);

    bool IsWinUsb() const { return fIsWinUsb; }
    std::size_t PipeReaderCount() const { return fWinUsbReaders.size(); }
    const TWinUsbBulkPipeReader& PipeReader(std::size_t AIndex) const { return *fWinUsbReaders.at(AIndex); }

    TUsbDataNotify fOnData;
    TUsbEventNotify fOnEvent;
    std::vector<std::string>* fLog = nullptr; // borrowed
    TUsbDeviceNotify fOnLog;
    bool fLogging = false;
    uint16_t fDriverVersion = 0;
    std::string fDriverVersionStr;
    TSerialNum fSerialNum = NoSerialNum;
    bool fSerialNumValid = false;
    uint16_t fVersionHW = 0;
    uint16_t fVersionFW = 0;
    bool fLocked = true;
    bool fGetInfoAfterOpen = true;
    TUsbDeviceDescriptor fDeviceDescriptor{};
    bool fDeviceDescriptorValid = false;
    uint16_t fRegions = 0;
    uint16_t fProtocolVersionMajor = 0;
    uint16_t fProtocolVersionMinor = 0;
    bool fLogAvailable = false;
    bool fEnableLogAfterOpen = false;
    uint16_t fActualStubVersion = 0;
    uint16_t fStubCodeVersion = 0;
    uint16_t fProductId = 0;
    // How long a request may take before it counts as failed (both paths).
    uint32_t fRequestTimeout = 10000;

protected:
    // The serial-number read every family device has, with its own request: into fSerialNum and
    // its validity flag, and into ASerial when given; true when the device answered 8 bytes. A failed
    // read clears the validity flag and leaves fSerialNum and ASerial as they were.
    bool ReadSerialNum(uint8_t ARequest, PSerialNum ASerial);
    // The 4-byte version answer (firmware in the low word, hardware in the high word) into
    // fVersionHW and fVersionFW and the outputs; nothing changes when the read fails.
    bool ReadVersionWords(uint8_t ARequest, uint16_t& AHW, uint16_t& ASF);
    // Sends the 8-byte key with ARequest; the device counts as unlocked when it takes it.
    bool SendUnlockKey(uint8_t ARequest, const TDeviceKey& AKey);
    // The one-byte lock state into fLocked and ALocked: any answer but 0 means locked, or with
    // AOnlyOneLocks only the answer 1.
    bool ReadLockState(uint8_t ARequest, bool& ALocked, bool AOnlyOneLocks = false);
    // Sends the 8-byte key with ARequest; the device counts as locked when it takes it.
    bool SendLockKey(uint8_t ARequest, const TDeviceKey& AKey);
    // The little-endian regions word into fRegions, and into ARegions when given.
    bool ReadRegionsWord(uint8_t ARequest, uint16_t* ARegions);
    // Sets the regions mask (in wValue) with the key as data; without a key nothing is sent.
    bool WriteRegionsWithKey(uint8_t ARequest, uint16_t ARegions, PDeviceKey AKey);

    bool fIsWinUsb = false;
    TUsbHandle* hWinUsb = nullptr; // the open handle, once bound to the generic driver
    std::vector<std::unique_ptr<TWinUsbBulkPipeReader>> fWinUsbReaders;

private:
    void CreatePipeReaders();
    // A family-driver control code on the open handle; false when closed or when it fails.
    bool DriverControl(uint32_t ACode, const void* AIn, uint32_t AInSize, void* AOut, uint32_t AOutSize,
                       uint32_t& AReturned);
    bool ControlTransfer(uint8_t ARequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                         void* ABuffer, uint32_t ASize, uint32_t& ATransferred);
};
using PCommonKelvoUsbDevice = TCommonKelvoUsbDevice*;
