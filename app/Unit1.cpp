#include "app/Unit1.h"

#include "MyLib/KelvoUsbPulse.h"
#include "MyLib/KelvoUsbQV.h"
#include "MyLib/KelvoUsbSensor.h"
#include "MyLib/KelvoUsbStub.h"
#include "MyLib/KelvoUsbTarget.h"
#include "MyLib/KelvoUsbTrigger.h"
#include "app/ParameterStore.h"
#include "platform/Folders.h"
#include "platform/IniFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

constexpr const char* DeviceSection = "Device";
constexpr const char* UpdateStepKey = "UpdateStep";

bool IsFolder(const std::string& APath) {
    // stat follows links, so a link to a folder counts as the folder.
    struct stat info {};
    return stat(APath.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates APath and its missing parents, private to the user as the data folder base should be.
void MakeFolderWithParents(const std::string& APath) {
    for (size_t slash = APath.find('/', 1); slash != std::string::npos; slash = APath.find('/', slash + 1))
        mkdir(APath.substr(0, slash).c_str(), 0700);
    mkdir(APath.c_str(), 0700);
}

} // namespace

TForm1::TForm1(TToolkit& AToolkit)
    : TComponent(nullptr), Toolkit(AToolkit), ListBox1(AToolkit.ListBox()),
      ProgressBar1(AToolkit.ProgressBar()), btnUpdate(AToolkit.Button()), Timer1(AToolkit.Timer()) {
    // The form's initial control states; start-up moves and fills them.
    btnUpdate.SetCaption("Update");
    btnUpdate.SetEnabled(false);
    btnUpdate.SetOnClick([this] { btnUpdateClick(); });
    Timer1.SetEnabled(false);
    Timer1.SetInterval(200);
    Timer1.SetOnTimer([this] { Timer1Timer(); });
}

TForm1::~TForm1() {
    // The timer's routine refers to the window; it must not fire into a destroyed one.
    Timer1.SetEnabled(false);
}

bool TForm1::MakeUserFolder() {
    if (IsFolder(fUserPath))
        return true;
    return mkdir(fUserPath.c_str(), 0777) == 0 || (errno == EEXIST && IsFolder(fUserPath));
}

void TForm1::FormCreate() {
    Toolkit.SetCaption(ApplicationTitle);
    Toolkit.SetLogSize(640, 320);
    Toolkit.CenterOnScreen();

    // The data folder base always exists on the desktop OS; on Linux a fresh account may lack it.
    const std::string base = UserDataFolder();
    if (!base.empty() && !IsFolder(base))
        MakeFolderWithParents(base);
    fUserPath = base.empty() ? std::string(UserFolderName) : base + "/" + UserFolderName;
    if (base.empty() || !MakeUserFolder()) {
        Toolkit.ShowMessage("Cannot access user folder \"" + fUserPath + "\"");
        fTerminating = true;
        Toolkit.Terminate();
        return;
    }

    // A missing or damaged built-in collection is no reason not to start: only downloaded images
    // can then be found.
    fFirmwares = new TKelvoUsbFirmwareCollection(this);
    try {
        fFirmwares->LoadFromResourceName("FWCOLLECTION");
    } catch (...) {
    }

    fActiveDevice = nullptr;
    ListBox1.Clear();
    LogMessage("Plug in device to update");
    fSensor = nullptr;
    fStub = nullptr;
    fPulse = nullptr;
    fTrigger = nullptr;
    fQVSensor = nullptr;
    fWL = nullptr;
    fTC = nullptr;
    f485Stub = nullptr;
    f485Target = nullptr;
    fWinVer = RunningWinVer();
    RegisterDevices();
}

void TForm1::RegisterDevices() {
    fDN = new TDeviceNotifier(this);
    using THandler = void (TForm1::*)(TDeviceNotifier*, const TGUID&, const std::string&);
    auto add = [this](const TGUID& AGuid, THandler AArrival, THandler ARemoval) {
        fDN->AddInterface(
            AGuid,
            [this, AArrival](TDeviceNotifier* ASender, const TGUID& AClass, const std::string& AName) {
                (this->*AArrival)(ASender, AClass, AName);
            },
            [this, ARemoval](TDeviceNotifier* ASender, const TGUID& AClass, const std::string& AName) {
                (this->*ARemoval)(ASender, AClass, AName);
            });
    };
    // The order decides which device is handled first when several are present at start-up.
    add(GUID_KELVO_QV, &TForm1::QVSensorArrival, &TForm1::QVSensorRemoval);
    add(GUID_KELVO_TRIGGER, &TForm1::TriggerArrival, &TForm1::TriggerRemoval);
    add(GUID_KELVO_USB_STUB, &TForm1::StubArrival, &TForm1::StubRemoval);
    add(GUID_KELVO_SENSOR, &TForm1::SensorArrival, &TForm1::SensorRemoval);
    add(GUID_KELVO_PULSE, &TForm1::PulseArrival, &TForm1::PulseRemoval);
    add(GUID_KELVO_WIRELESS, &TForm1::WirelessArrival, &TForm1::WirelessRemoval);
    add(GUID_KELVO_TARGET_CONTROLLER, &TForm1::TargetControllerArrival, &TForm1::TargetControllerRemoval);
    add(GUID_KELVO_DNXXXE, &TForm1::IgnoredArrival, &TForm1::IgnoredRemoval);
    fDN->FindDevices();
}

template <class TDevice> void TForm1::ArriveAs(TDevice*& AField, const std::string& APath) {
    if (fActiveDevice)
        return;
    auto* device = new TDevice(this, APath);
    if (ConnectDevice(device))
        AField = device;
}

template <class TDevice> void TForm1::RemoveFrom(TDevice*& AField, const std::string& APath) {
    if (!AField || strcasecmp(AField->DevicePath().c_str(), APath.c_str()) != 0)
        return;
    DisconnectDevice(AField);
    AField = nullptr;
}

void TForm1::QVSensorArrival(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    if (fActiveDevice)
        return;
    AskToReplug = false;
    ArriveAs(fQVSensor, AName);
}
void TForm1::QVSensorRemoval(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    RemoveFrom(fQVSensor, AName);
}
void TForm1::TriggerArrival(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    ArriveAs(fTrigger, AName);
}
void TForm1::TriggerRemoval(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    RemoveFrom(fTrigger, AName);
}
void TForm1::SensorArrival(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    ArriveAs(fSensor, AName);
}
void TForm1::SensorRemoval(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    RemoveFrom(fSensor, AName);
}
void TForm1::PulseArrival(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    ArriveAs(fPulse, AName);
}
void TForm1::PulseRemoval(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    RemoveFrom(fPulse, AName);
}

// Every bootloader that arrives is flashed: the one an Update click produced, and as well a device
// left in its bootloader by an interrupted update, whatever its journal says.
void TForm1::StubArrival(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    if (fStub)
        return;
    fStub = new TKelvoStubUSBDevice(this, AName);
    ++fStubGeneration;
    if (!fStub->Open()) {
        LogMessage("Error: cannot open USB device!");
        ++fFailures;
        delete fStub;
        fStub = nullptr;
        return;
    }
    TSerialNum serial;
    if (!fStub->GetSerialNum(&serial)) {
        LogMessage("Error: cannot get STUB serial number! Try to replug device");
        ++fFailures;
        return;
    }
    LogMessage("Stub plugged in, serial number is " + SerialToStr(serial));
    TStubHardwareInfo info{};
    if (!fStub->GetHardwareInfo(info)) {
        LogMessage("Error: cannot read STUB hardware info!");
        ++fFailures;
        return;
    }
    WriteUpdateStep(serial, 2);
    Timer1.SetOnTimer([this] { Timer1Timer(); });
    Timer1.SetInterval(200);
    Timer1.SetEnabled(true);
}

void TForm1::StubRemoval(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    if (!fStub || strcasecmp(fStub->DevicePath().c_str(), AName.c_str()) != 0)
        return;
    fStub->Close();
    delete fStub;
    fStub = nullptr;
}

// The handler pair of the wireless controller does its work from the moment that device class joins
// the updater; until then its devices are registered, reported and left alone, so they are neither
// opened nor logged.
void TForm1::WirelessArrival(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::WirelessRemoval(TDeviceNotifier*, const TGUID&, const std::string&) {}

// The DNxxxE device shares the family's driver but has nothing to update: its reports are ignored.
void TForm1::IgnoredArrival(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::IgnoredRemoval(TDeviceNotifier*, const TGUID&, const std::string&) {}

void TForm1::FormClose() {
    // The held devices close in the window's fixed order; the objects themselves go with the window.
    // The wireless controller joins this order, before the target controller, with its device class.
    if (fQVSensor)
        fQVSensor->Close();
    if (fTrigger)
        fTrigger->Close();
    if (fStub)
        fStub->Close();
    if (fSensor)
        fSensor->Close();
    if (fPulse)
        fPulse->Close();
    if (fTC)
        fTC->Close();
    fActiveDevice = nullptr;
}

void TForm1::LogMessage(const std::string& AText) {
    ListBox1.AddAndSelect(AText);
}

void TForm1::WMClickUpdate() {
    btnUpdate.Click();
}

void TForm1::btnUpdateClick() {
    if (fActiveDevice)
        StartUsbUpdate(fActiveDevice);
}

void TForm1::StartUsbUpdate(TCommonKelvoUsbDevice* ADevice) {
    if (ADevice->fLocked && ADevice->fVersionFW > 2) {
        const auto text = Toolkit.InputBox("Device is locked", "Please enter device key to unlock:", "");
        if (text) {
            TDeviceKey key{};
            StrToSerial(*text, key);
            if (KeyValid(key) && !ADevice->Unlock(key)) {
                Toolkit.ShowMessage("Invalid device key or error unlocking device");
                ++fFailures;
                return;
            }
        }
    }
    AskToReplug = false;
    if (!SaveParameters(ADevice)) {
        LogMessage("Error: cannot save device parameters!");
        ++fFailures;
        return;
    }
    const TSerialNum serial = ADevice->fSerialNum;
    if (dynamic_cast<TKelvoUsbQVSensor*>(ADevice)) {
        AskToReplug = ADevice->fVersionFW <= 10;
        if (!ADevice->SwitchToStub()) {
            AskToReplug = false;
            LogMessage("Cannot switch QV sensor into STUB mode!");
            ++fFailures;
            return;
        }
        LogMessage("If process does not respond, unplug and replug device.");
        LogMessage("Entering programming mode. Wait...");
        WriteUpdateStep(serial, 1);
        ADevice->Tag = 5;
        return;
    }
    LogMessage("Entering programming mode...");
    if (ADevice->SwitchToStub())
        ADevice->Tag = 5;
    LogMessage("If process does not respond, unplug and replug device.");
    LogMessage("Entering programming mode. Wait...");
    WriteUpdateStep(serial, 1);
}

void TForm1::Timer1Timer() {
    Timer1.SetEnabled(false);
    fUpdateUnderWay = true;
    if (!WriteFirmware())
        ++fFailures;
    fUpdateUnderWay = false;
}

bool TForm1::WriteFirmware() {
    TSerialNum serial;
    if (!fStub || !fStub->GetSerialNum(&serial))
        return false;
    TKelvoUsbFirmware* image = SelectFirmware(fStub->fHWInfo.idProduct, fStub->fHWInfo.VersionHW);
    if (!image) {
        LogMessage("Error: cannot load firmware from resource!");
        return false;
    }
    LogMessage("Erasing flash...");
    ListBox1.Repaint();
    if (!fStub->EraseFlash()) {
        LogMessage("Error erasing flash!");
        return false;
    }
    WriteUpdateStep(serial, 3);
    LogMessage("Flash erased.");
    if (AskToReplug) {
        AskToReplug = false;
        LogMessage("Please replug device to continue.");
        // Not a failure: the replugged bootloader goes on from here.
        return true;
    }
    LogMessage("Writing firmware...");
    ListBox1.Repaint();
    try {
        if (!WriteBlocks(*image))
            return false;
    } catch (...) {
        // The journal still says 3: the next arrival of the bootloader starts again from the erase.
        return false;
    }
    WriteUpdateStep(serial, 4);
    LogMessage("Validating flash...");
    if (!fStub->ValidateFlash()) {
        LogMessage("Error! Try to replug usb device.");
        return false;
    }
    LogMessage("Leaving programming mode.");
    LogMessage("If process does not respond please unplug and replug device.");
    WriteUpdateStep(serial, 5);
    fStub->ReconnectUsb();
    return true;
}

bool TForm1::WriteBlocks(const TKelvoUsbFirmware& AImage) {
    // The image goes out enciphered, as stored: the synchronisation block, then the main memory.
    const TMSP430CryptedBinaryChecked& bin = *AImage.Bin();
    constexpr uint32_t ImageSize = sizeof bin.Main;
    static_assert(ImageSize == 0xDF00);
    if (!fStub->SetSynchro(bin.SynchroPacket)) {
        LogMessage("Error: Set synchro failed!");
        return false;
    }
    const uint32_t block = fStub->RecommendedDataBlockSize();
    ProgressBar1.SetMin(0);
    ProgressBar1.SetMax(ImageSize);
    ProgressBar1.SetPosition(0);
    const auto* data = reinterpret_cast<const uint8_t*>(&bin.Main);
    const uint64_t generation = fStubGeneration;
    for (uint32_t address = 0; address < ImageSize;) {
        const uint32_t size = std::min(block, ImageSize - address);
        if (!fStub->WriteFlash(uint16_t(address), data, uint16_t(size))) {
            LogMessage("Error writing flash!");
            return false;
        }
        data += size;
        address += size;
        ProgressBar1.SetPosition(int(address));
        Toolkit.ProcessMessages();
        // The removal handler may have freed the bootloader meanwhile, and another one may have
        // taken its place; neither may receive the rest of this image.
        if (!fStub || fStubGeneration != generation) {
            LogMessage("Device disconnected.");
            return false;
        }
    }
    LogMessage("Flash successfully written.");
    ProgressBar1.SetPosition(ProgressBar1.Max());
    return true;
}

TKelvoUsbFirmware* TForm1::SelectFirmware(uint16_t AProductId, uint16_t AVersionHW) {
    TKelvoUsbFirmware* entry = fFirmwares ? fFirmwares->FindById(AProductId, AVersionHW) : nullptr;
    auto downloaded = std::make_unique<TKelvoUsbFirmware>();
    // The server may hand out a file for another device; flashing that would be worse than keeping
    // the built-in image, so such a download counts as none.
    if (!downloaded->DownloadFromInternet(AProductId, AVersionHW) || downloaded->ProductID() != AProductId ||
        downloaded->VersionHW() != AVersionHW)
        downloaded.reset();
    if (!downloaded)
        return entry;
    if (!entry) {
        // The same image downloaded again is the one kept already.
        for (const auto& kept : fDownloads)
            if (kept->Data().CRC32 == downloaded->Data().CRC32 &&
                kept->VersionFW() == downloaded->VersionFW())
                return kept.get();
        fDownloads.push_back(std::move(downloaded));
        return fDownloads.back().get();
    }
    if (entry->VersionFW() < downloaded->VersionFW()) {
        fFirmwares->RemoveFirmware(entry);
        TKelvoUsbFirmware* newer = downloaded.release();
        fFirmwares->AddFirmware(newer);
        return newer;
    }
    return entry;
}

std::string TForm1::SettingsFileName(const TSerialNum& ASerial) const {
    return fUserPath + "/" + SerialToStr(ASerial) + ".ini";
}

namespace {

std::string Hex4(uint16_t AValue) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", AValue);
    return text;
}

} // namespace

bool TForm1::ConnectDevice(TCommonKelvoUsbDevice* ADevice) {
    ADevice->Tag = 0;
    ProgressBar1.SetPosition(0);
    if (!ADevice->Open()) {
        delete ADevice;
        LogMessage("Cannot open USB device!");
        ++fFailures;
        return false;
    }
    bool adopt = true;
    if (!ResumeJournal(ADevice, ReadUpdateStep(ADevice->fSerialNum), adopt)) {
        if (!adopt) {
            // Nothing holds a device that is not adopted; left open, its readers would run until
            // the program ends.
            ADevice->Close();
            delete ADevice;
        }
        return adopt;
    }
    IdentifyDevice(ADevice);
    return true;
}

bool TForm1::ResumeJournal(TCommonKelvoUsbDevice* ADevice, int AStep, bool& AAdopt) {
    const TSerialNum serial = ADevice->fSerialNum;
    switch (AStep) {
    case 0:
        return true;
    case 1:
    case 2:
        WriteUpdateStep(serial, 0);
        ADevice->Tag = 2;
        return true;
    case 5:
        // The device is back from a finished flash: its parameters go back, and it is not offered.
        if (RestoreParameters(ADevice)) {
            WriteUpdateStep(serial, 0);
            LogMessage("SUCCESS! Firmware updated.");
            ADevice->Tag = 1;
        } else {
            LogMessage("Cannot restore device parameters.");
            ++fFailures;
            LogMessage("Try to replug device or use device-specific calibration tools.");
            WriteUpdateStep(serial, 6);
            ADevice->Tag = 2;
        }
        AAdopt = false;
        return false;
    case 6:
        LogMessage("Unable to restore device parameters.");
        LogMessage(std::string("Please contact ") + SupportEmail);
        LogMessage("or use device-specific calibration tools.");
        WriteUpdateStep(serial, 0);
        ADevice->Tag = 2;
        return true;
    default:
        // A step this sequence does not act on: the device is kept, unidentified.
        AAdopt = true;
        return false;
    }
}

void TForm1::IdentifyDevice(TCommonKelvoUsbDevice* ADevice) {
    ADevice->Tag = 1;
    ListBox1.Clear();
    LogMessage(ADevice->ModelDescription() + " " + ADevice->ModelType());
    LogMessage("Serial number: " + SerialToStr(ADevice->fSerialNum));
    const uint16_t productId = ADevice->fDeviceDescriptor.idProduct;
    LogMessage("Product id is: 0x" + Hex4(productId));
    LogMessage("Hardware version 0x" + Hex4(ADevice->fVersionHW));
    LogMessage("Firmware version 0x" + Hex4(ADevice->fVersionFW));

    TKelvoUsbFirmware* image = SelectFirmware(productId, ADevice->fVersionHW);
    if (!image)
        return;
    ADevice->GetStubVersion(nullptr);
    if (IsWin8OrLater(fWinVer) && ADevice->HasUsb30CompatibilityIssue())
        ADevice->Tag = 4;
    btnUpdate.SetCaption("Update");
    if (ADevice->fVersionFW >= image->VersionFW()) {
        LogMessage("Firmware is up to date.");
        btnUpdate.SetEnabled(false);
        ADevice->Tag = 1;
    } else if (ADevice->Tag == 4) {
        LogMessage("Newer firmware found but you have device that may be");
        LogMessage("NOT compatible with modern USB3.0 host drivers under Windows 8 or later");
        LogMessage("It is recommended that you use older computer with Windows 7 OS");
        LogMessage("or try virtual machine with USB2.0 emulation");
        LogMessage(std::string("If you are not sure please contact ") + SupportEmail);
        btnUpdate.SetEnabled(false);
    } else {
        LogMessage("Newer firmware found. To update click \"Update\" button");
        btnUpdate.SetEnabled(true);
        btnUpdate.SetOnClick([this] { btnUpdateClick(); });
        ADevice->Tag = 3;
    }
    fActiveDevice = ADevice;
}

bool TForm1::SaveParameters(TCommonKelvoUsbDevice* ADevice) {
    return TParameterStore(SettingsFileName(ADevice->fSerialNum),
                           [this](const std::string& AText) { LogMessage(AText); })
        .SaveParameters(ADevice);
}

bool TForm1::RestoreParameters(TCommonKelvoUsbDevice* ADevice) {
    return TParameterStore(SettingsFileName(ADevice->fSerialNum),
                           [this](const std::string& AText) { LogMessage(AText); })
        .RestoreParameters(ADevice);
}

void TForm1::DisconnectDevice(TCommonKelvoUsbDevice* ADevice) {
    if (ADevice == fActiveDevice)
        fActiveDevice = nullptr;
    ADevice->Close();
    // A device switching to its bootloader leaves the log alone, so the update's lines stay.
    if (ADevice->Tag != 5)
        ListBox1.Clear();
    delete ADevice;
    btnUpdate.SetEnabled(false);
}

int TForm1::ReadUpdateStep(const TSerialNum& ASerial) {
    try {
        return TIniFile(SettingsFileName(ASerial)).ReadInteger(DeviceSection, UpdateStepKey, 0);
    } catch (...) {
        return 0;
    }
}

void TForm1::WriteUpdateStep(const TSerialNum& ASerial, int AStep) {
    try {
        TIniFile(SettingsFileName(ASerial)).WriteInteger(DeviceSection, UpdateStepKey, AStep);
    } catch (...) {
        // The journal keeps its previous value; nothing is reported.
    }
}
