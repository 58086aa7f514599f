// The window's life: its construction, start-up with the user folder, the collection and the device
// registration, its close, the message log and the Update click's entry points.
#include "app/Unit1.h"

#include "MyLib/KelvoUsbPulse.h"
#include "MyLib/KelvoUsbQV.h"
#include "MyLib/KelvoUsbSensor.h"
#include "MyLib/KelvoUsbStub.h"
#include "MyLib/KelvoUsbTarget.h"
#include "MyLib/KelvoUsbTrigger.h"
#include "MyLib/KelvoUsbWireless1.h"
#include "platform/Folders.h"

#include <cstdio>

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
    // Nor may the target events of a wireless controller that is still open when the window goes
    // (its objects are destroyed after the window's own parts, and closing reports every target).
    if (fWL) {
        fWL->fOnTargetConnect = nullptr;
        fWL->fOnTargetDisconnect = nullptr;
    }
}

bool TForm1::MakeUserFolder() {
    return MakeFolder(fUserPath);
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

void TForm1::FormClose() {
    fClosing = true;
    // The held devices close in the window's fixed order; the objects themselves go with the window.
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
    if (fWL) {
        // Closing reports every target gone; none of them is to be taken up any more.
        f485Waiting.clear();
        fWL->TurnPowerOff();
        fWL->Close();
    }
    if (fTC)
        fTC->Close();
    fActiveDevice = nullptr;
}

void TForm1::NoteFailure(const TSerialNum& ASerial) {
    ++fFailures;
    ++fAttributedFailures;
    fUpdateEnds[SerialToStr(ASerial)] = TUpdateEnd::Failed;
}

TForm1::TUpdateTally TForm1::Tally() {
    TUpdateTally tally;
    tally.fFailed = fFailures - fAttributedFailures;
    for (const auto& [serial, end] : fUpdateEnds) {
        TSerialNum number{};
        StrToSerial(serial, number);
        const TUpdateStep step = ReadUpdateStep(number);
        if (step >= TUpdateStep::SwitchRequested && step <= TUpdateStep::FlashValidated)
            ++tally.fUnfinished;
        else if (end == TUpdateEnd::Updated)
            ++tally.fUpdated;
        else if (end == TUpdateEnd::Failed)
            ++tally.fFailed;
    }
    return tally;
}

std::string Hex4(uint16_t AValue) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", AValue);
    return text;
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
