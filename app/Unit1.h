#pragma once
// The updater's main window: its controls (through the toolkit interface), the device fields, the
// start-up and close sequences, the message log, the external click on Update, the one-shot timer,
// the per-device update journal and the choice of firmware image.
#include "MyLib/KelvoSerials.h"
#include "app/WinVer.h"
#include "app/ui/Toolkit.h"
#include "platform/Component.h"

#include <cstdint>
#include <string>

class TDeviceNotifier;
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

    int ReadUpdateStep(const TSerialNum& ASerial);
    void WriteUpdateStep(const TSerialNum& ASerial, int AStep);

    // True once start-up has asked the program to end (the user folder could not be made).
    bool Terminating() const { return fTerminating; }

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
    // Unknown on Linux; tests set it to reach the branches for newer desktop systems.
    TWinVer fWinVer = TWinVer::Unknown;
    TKelvoStdTargetObject* fTarget = nullptr;
    TKelvoStubTargetObject* fTargetStub = nullptr;

private:
    // The settings file of one device in the user folder.
    std::string SettingsFileName(const TSerialNum& ASerial) const;
    // Creates the user folder unless it exists; false when it cannot be made.
    bool MakeUserFolder();

    bool fTerminating = false;
};
