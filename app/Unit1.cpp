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
    // The same for the USB target controller's target reports.
    if (fTC) {
        fTC->fOnConnect = nullptr;
        fTC->fOnDisconnect = nullptr;
        fTC->fOnStubConnect = nullptr;
        fTC->fOnStubDisconnect = nullptr;
    }
}

bool TForm1::MakeUserFolder() {
    return MakeFolder(fUserPath);
}

void TForm1::FormCreate() {
    Toolkit.SetCaption(ApplicationTitle);
    Toolkit.SetLogSize(640, 320);
    Toolkit.CenterOnScreen();

    if (!OpenUserFolder()) {
        Toolkit.ShowMessage("Cannot access user folder \"" + fUserPath + "\"");
        fTerminating = true;
        Toolkit.Terminate();
        return;
    }

    fActiveDevice = nullptr;
    ListBox1.Clear();
    // Shown before the collection is read, which takes a few milliseconds and logs nothing.
    LogMessage("Plug in device to update");
    LoadBuiltInFirmware();
    f485Stub = nullptr;
    f485Target = nullptr;
    fWinVer = RunningWinVer();
    RegisterDevices();
}

bool TForm1::OpenUserFolder() {
    // The data folder base always exists on the desktop OS; on Linux a fresh account may lack it.
    const std::string base = UserDataFolder();
    if (!base.empty() && !IsFolder(base))
        MakeFolderWithParents(base);
    fUserPath = base.empty() ? std::string(UserFolderName) : base + "/" + UserFolderName;
    return !base.empty() && MakeUserFolder();
}

void TForm1::LoadBuiltInFirmware() {
    // A missing or damaged built-in collection is no reason not to start: only downloaded images
    // can then be found.
    fFirmwares = new TKelvoUsbFirmwareCollection(this);
    try {
        fFirmwares->LoadFromResourceName("FWCOLLECTION");
    } catch (...) {
    }
}

void TForm1::RegisterDevices() {
    fDN = new TDeviceNotifier(this);
    for (const TFamily& family : Families())
        fDN->AddInterface(
            *family.fClass,
            [this, arrival = family.fArrival](TDeviceNotifier* ASender, const TGUID& AClass,
                                              const std::string& AName) {
                (this->*arrival)(ASender, AClass, AName);
            },
            [this, removal = family.fRemoval](TDeviceNotifier* ASender, const TGUID& AClass,
                                              const std::string& AName) {
                (this->*removal)(ASender, AClass, AName);
            });
    fDN->FindDevices();
}

void TForm1::FormClose() {
    fClosing = true;
    RecordUnfinishedAtClose();
    // The held devices close in the window's fixed order; the objects themselves go with the window.
    for (const TFamily& family : Families())
        if (family.fClose)
            (this->*family.fClose)();
    fActiveDevice = nullptr;
}

void TForm1::TellUnfinishedUpdates() {
    for (const auto& [serial, end] : fUpdateEnds) {
        TSerialNum number{};
        StrToSerial(serial, number);
        const TUpdateStep step = ReadUpdateStep(number);
        const auto told = fToldUnfinished.find(serial);
        if (JournalMidUpdate(step) && (told == fToldUnfinished.end() || told->second != step))
            TellUnfinished(serial, step, TFailReason::None);
    }
}

void TForm1::CloseWireless() {
    if (!fWL)
        return;
    // Closing reports every target gone; none of them is to be taken up any more.
    f485Waiting.clear();
    fWL->TurnPowerOff();
    fWL->Close();
}

void TForm1::NoteFailure(const TSerialNum& ASerial, TFailReason AReason,
                         std::optional<uint16_t> AFirmwareAfter) {
    ++fFailures;
    ++fAttributedFailures;
    const std::string serial = SerialToStr(ASerial);
    fUpdateEnds[serial] = TUpdateEnd::Failed;
    RecordUsbEnd(ASerial, AFirmwareAfter);
    const TUpdateStep step = ReadUpdateStep(ASerial);
    if (JournalMidUpdate(step)) {
        TellUnfinished(serial, step, AReason);
        return;
    }
    TellDeviceEnd(ASerial, TUpdateOutcome::Failed, AReason);
}

void TForm1::TellDeviceEnd(const TSerialNum& ASerial, TUpdateOutcome AOutcome, TFailReason AReason) {
    fToldUnfinished.erase(SerialToStr(ASerial));
    fObserver->Ended(DeviceSubject(ASerial), AOutcome, AReason, std::nullopt);
}

void TForm1::NoteUnattributedFailure(const TUpdateSubject& ASubject, TFailReason AReason) {
    ++fFailures;
    fObserver->Ended(ASubject, TUpdateOutcome::Failed, AReason, std::nullopt);
}

void TForm1::TellUnfinished(const std::string& ASerial, TUpdateStep AStep, TFailReason AReason) {
    fToldUnfinished[ASerial] = AStep;
    fObserver->Ended({ASerial, {}}, TUpdateOutcome::Unfinished, AReason, AStep);
}

void TForm1::NoteTargetEnd(const TUpdateSubject& ASubject, TUpdateEnd AEnd, TFailReason AReason) {
    if (AEnd != TUpdateEnd::Updated) {
        ++fFailures;
        ++fAttributedFailures;
    }
    // A target flashed again after a failed attempt counts by how its last flash ended.
    fTargetUpdateEnds[ASubject.fSerial] = AEnd;
    RecordTargetEnd(ASubject.fSerial, AEnd);
    fObserver->Ended(ASubject,
                     AEnd == TUpdateEnd::Updated      ? TUpdateOutcome::Updated
                     : AEnd == TUpdateEnd::Unfinished ? TUpdateOutcome::Unfinished
                                                      : TUpdateOutcome::Failed,
                     AEnd == TUpdateEnd::Updated ? TFailReason::None : AReason, std::nullopt);
}

TUpdateSubject TForm1::TargetSubject(const TKelvoTargetObject& ATarget) {
    return {SerialToStr(ATarget.fSerial), ATarget.fIndex};
}

TForm1::TUpdateTally TForm1::Tally() {
    TUpdateTally tally;
    tally.fFailed = fFailures - fAttributedFailures;
    for (const auto& [serial, end] : fUpdateEnds) {
        TSerialNum number{};
        StrToSerial(serial, number);
        const TUpdateStep step = ReadUpdateStep(number);
        if (JournalMidUpdate(step))
            ++tally.fUnfinished;
        else if (end == TUpdateEnd::Updated)
            ++tally.fUpdated;
        else if (end == TUpdateEnd::Failed)
            ++tally.fFailed;
    }
    for (const auto& [serial, end] : fTargetUpdateEnds)
        ++(end == TUpdateEnd::Updated      ? tally.fUpdated
           : end == TUpdateEnd::Unfinished ? tally.fUnfinished
                                           : tally.fFailed);
    return tally;
}

void TForm1::LogMessage(const std::string& AText) {
    ListBox1.AddAndSelect(AText);
    fObserver->Logged(AText);
}

void TForm1::WMClickUpdate() {
    btnUpdate.Click();
}

void TForm1::btnUpdateClick() {
    if (fActiveDevice)
        StartUsbUpdate(fActiveDevice);
}
