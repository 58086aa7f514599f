#include "app/Unit1.h"

#include "platform/Folders.h"
#include "platform/IniFile.h"

#include <sys/stat.h>

#include <cerrno>

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

// The handler pairs of the device families. Each family's pair does its work from the moment the
// family's device class joins the updater; until then its devices are registered, reported and
// left alone, so they are neither opened nor logged.
void TForm1::QVSensorArrival(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::QVSensorRemoval(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::TriggerArrival(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::TriggerRemoval(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::StubArrival(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::StubRemoval(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::SensorArrival(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::SensorRemoval(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::PulseArrival(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::PulseRemoval(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::WirelessArrival(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::WirelessRemoval(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::TargetControllerArrival(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::TargetControllerRemoval(TDeviceNotifier*, const TGUID&, const std::string&) {}

// The DNxxxE device shares the family's driver but has nothing to update: its reports are ignored.
void TForm1::IgnoredArrival(TDeviceNotifier*, const TGUID&, const std::string&) {}
void TForm1::IgnoredRemoval(TDeviceNotifier*, const TGUID&, const std::string&) {}

void TForm1::FormClose() {
    // Each device family closes its held device here, in the window's fixed order (camera sensor,
    // trigger, bootloader, optical sensor, pulse sensor, wireless, target controller), as its
    // handlers join the window. The objects themselves go with the window.
    fActiveDevice = nullptr;
}

void TForm1::LogMessage(const std::string& AText) {
    ListBox1.AddAndSelect(AText);
}

void TForm1::WMClickUpdate() {
    btnUpdate.Click();
}

void TForm1::btnUpdateClick() {
    // The update of the active device joins here with the bootloader device; until then no device
    // is ever active and a click has nothing to do.
}

void TForm1::Timer1Timer() {
    // Whoever arms the timer sets its routine; this default one only ends the one-shot.
    Timer1.SetEnabled(false);
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
