#pragma once
// The updater's main window: its controls (through the toolkit interface), the device fields, the
// start-up and close sequences, the message log, the external click on Update, the one-shot timer,
// the per-device update journal and the choice of firmware image.
#include "MyLib/DevMan.h"
#include "MyLib/KelvoFirmware.h"
#include "MyLib/KelvoSerials.h"
#include "app/WinVer.h"
#include "app/ui/Toolkit.h"
#include "platform/Component.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TCommonKelvoUsbDevice;
class TKelvoUsbQVSensor;
class TKelvoTriggerUsbDevice;
class TKelvoStubUSBDevice;
class TKelvoSensorUsbDevice;
class TKelvoPulseUsbDevice;
class TKelvoWireless;
class TKelvoTargetUsbDevice;
class TTargetStub;
class TCustom485Target;
class TKelvoStdTargetObject;
class TKelvoStubTargetObject;

inline constexpr const char* ApplicationTitle = "KELVO firmware updater 2.0";
inline constexpr const char* UserFolderName = "KelvoFwUpd";

class TForm1 : public TComponent {
public:
    explicit TForm1(TToolkit& AToolkit);
    ~TForm1() override;

    void FormCreate();
    void FormClose();
    void LogMessage(const std::string& AText);
    // The external click request: runs the button's current click handler, enabled or not.
    void WMClickUpdate();
    void btnUpdateClick();
    void Timer1Timer();

    // The device handlers, one pair per registered interface class. Each receives the notifier's
    // report and uses only the device path.
    void QVSensorArrival(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void QVSensorRemoval(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void TriggerArrival(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void TriggerRemoval(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void StubArrival(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void StubRemoval(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void SensorArrival(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void SensorRemoval(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void PulseArrival(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void PulseRemoval(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void WirelessArrival(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void WirelessRemoval(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void TargetControllerArrival(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void TargetControllerRemoval(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void IgnoredArrival(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void IgnoredRemoval(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);

    // The image for a device: the collection's entry or a newer downloaded one (which then replaces
    // the entry in the collection); nullptr when neither exists.
    TKelvoUsbFirmware* SelectFirmware(uint16_t AProductId, uint16_t AVersionHW);

    int ReadUpdateStep(const TSerialNum& ASerial);
    void WriteUpdateStep(const TSerialNum& ASerial, int AStep);

    // True once start-up has asked the program to end (the user folder could not be made).
    bool Terminating() const { return fTerminating; }
    // Failed device opens, updates and restores so far; the console front end's exit status.
    int Failures() const { return fFailures; }
    // Whether a write sequence is running (it lets events run between blocks, so a front end
    // must not take a quiet moment inside it for the end of the work).
    bool UpdateUnderWay() const { return fUpdateUnderWay; }

    TToolkit& Toolkit;
    TListBox& ListBox1;
    TProgressBar& ProgressBar1;
    TButton& btnUpdate;
    TTimer& Timer1;

    TDeviceNotifier* fDN = nullptr;
    TKelvoUsbQVSensor* fQVSensor = nullptr;
    TKelvoTriggerUsbDevice* fTrigger = nullptr;
    TKelvoStubUSBDevice* fStub = nullptr;
    TKelvoSensorUsbDevice* fSensor = nullptr;
    TKelvoPulseUsbDevice* fPulse = nullptr;
    TKelvoWireless* fWL = nullptr;
    TKelvoTargetUsbDevice* fTC = nullptr;
    TCommonKelvoUsbDevice* fActiveDevice = nullptr;
    bool AskToReplug = false;
    std::string fUserPath;
    TTargetStub* f485Stub = nullptr;
    TCustom485Target* f485Target = nullptr;
    TKelvoUsbFirmwareCollection* fFirmwares = nullptr;
    // Unknown on Linux; tests set it to reach the branches for newer desktop systems.
    TWinVer fWinVer = TWinVer::Unknown;
    TKelvoStdTargetObject* fTarget = nullptr;
    TKelvoStubTargetObject* fTargetStub = nullptr;

private:
    // The settings file of one device in the user folder.
    std::string SettingsFileName(const TSerialNum& ASerial) const;
    // Creates the user folder unless it exists; false when it cannot be made.
    bool MakeUserFolder();
    // Creates the notifier, registers the eight interface classes in their fixed order and reports
    // the devices already present.
    void RegisterDevices();

    bool fTerminating = false;
    // Kept by the connection, update and restore sequences of the device families.
    int fFailures = 0;
    bool fUpdateUnderWay = false;
    // Downloaded images that had no collection entry to replace. They stay until the window goes,
    // since an update may still use one after a later selection.
    std::vector<std::unique_ptr<TKelvoUsbFirmware>> fDownloads;
};
