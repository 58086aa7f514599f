#pragma once
// The updater's main window: its controls (through the toolkit interface), the device fields, the
// start-up and close sequences, the message log, the external click on Update, the one-shot timer,
// the per-device update journal and the choice of firmware image. One class, its methods in one
// file per concern: Unit1.cpp (start-up, registration, close, log, click), Unit1Connect.cpp (device
// arrival and removal, identification, journal, parameters), Unit1UsbUpdate.cpp (the update of a
// USB device through its bootloader), Unit1TargetUpdate.cpp (the target behind a USB target
// controller), Unit1WirelessUpdate.cpp (the targets on a wireless controller's radio),
// Unit1Flash.cpp (the flash sequence all three updates run) and Unit1History.cpp (the record each
// update leaves in the update history).
#include "MyLib/DevMan.h"
#include "MyLib/KelvoFirmware.h"
#include "MyLib/KelvoSerials.h"
#include "app/UpdateObserver.h"
#include "app/UpdateStates.h"
#include "app/WinVer.h"
#include "app/ui/Toolkit.h"
#include "platform/Component.h"
#include "platform/HexText.h"
#include "platform/Version.h"

#include <strings.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

class TCommonKelvoUsbDevice;
class TParameterStore;
class TKelvoUsbQVSensor;
class TKelvoTriggerUsbDevice;
class TKelvoStubUSBDevice;
class TKelvoSensorUsbDevice;
class TKelvoPulseUsbDevice;
// The wireless controller with its targets, and the USB target controller with its target.
class TKelvoWireless;
class TTargetStub;
class TCustom485Target;
class TKelvoTargetUsbDevice;
class TKelvoStdTargetObject;
class TKelvoStubTargetObject;
class TKelvoTargetObject;
class TFlashPort;
struct TFlashSteps;
enum class TFlashResult;

inline constexpr const char* ApplicationTitle = "KELVO firmware updater " KELVO_VERSION;
inline constexpr const char* UserFolderName = "KelvoFwUpd";
inline constexpr const char* SupportEmail = "support@kelvo.example";

// The targets behind both kinds of controller: a bootloader target that holds no usable firmware
// reports KTargetNoFirmware; its flash starts this long after it was reported.
inline constexpr uint16_t KTargetNoFirmware = 0xFFFF;
inline constexpr int KTargetFlashDelayMs = 250;

class TForm1 : public TComponent {
public:
    // The interface classes the window registers, in their fixed order.
    static std::vector<const TGUID*> RegisteredClasses();
    explicit TForm1(TToolkit& AToolkit);
    ~TForm1() override;

    void FormCreate();
    // The parts of start-up that the firmware choice needs: the user folder made (false when it cannot
    // be), and the built-in collection loaded. FormCreate runs them; a front end that only compares
    // devices with their images runs them alone.
    bool OpenUserFolder();
    void LoadBuiltInFirmware();
    void FormClose();
    // AObserver (kept, not owned) is told what the window does from now on; nullptr: nobody.
    void SetObserver(TUpdateObserver* AObserver) { fObserver = AObserver ? AObserver : &fNoObserver; }
    // Once the run is over: tells the observer about each device whose journal is left between the
    // switch and the restore, unless its last end said so already.
    void TellUnfinishedUpdates();
    void LogMessage(const std::string& AText);
    // The external click request: runs the button's current click handler, enabled or not.
    void WMClickUpdate();
    void btnUpdateClick();
    void Timer1Timer();

    // The device handlers of the families that do more than hold their device (the others are made
    // from the family list, Families). Each receives the notifier's report and uses only the
    // device path.
    void QVSensorArrival(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void StubArrival(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void StubRemoval(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void WirelessArrival(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void WirelessRemoval(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void TargetControllerArrival(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    void TargetControllerRemoval(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);

    // The target behind the USB target controller, reported while the controller is identified and
    // up to date: its identity and the offer, the switch into its bootloader, and the flash through
    // the controller in 8-byte blocks.
    void TargetConnected(TKelvoTargetUsbDevice* ASender, TKelvoTargetObject* ATarget);
    void TargetDisconnected(TKelvoTargetUsbDevice* ASender, TKelvoTargetObject* ATarget);
    void TargetStubConnected(TKelvoTargetUsbDevice* ASender, TKelvoTargetObject* ATarget);
    void TargetStubDisconnected(TKelvoTargetUsbDevice* ASender, TKelvoTargetObject* ATarget);
    void StartTargetUpdate();
    void TargetFlashTimer();
    void TargetValidateTimer();

    // The targets behind the wireless controller, reported while the controller is identified and
    // up to date: one target at a time is offered or flashed over the radio in 8-byte blocks.
    void Wireless485TargetConnected(TKelvoWireless* ASender, TCustom485Target* ATarget);
    void Wireless485TargetDisconnected(TKelvoWireless* ASender, TCustom485Target* ATarget);
    void Start485TargetUpdate();
    void Target485FlashTimer();
    void Target485ValidateTimer();

    // Opens a newly created device, reads its journal and either finishes an interrupted update or
    // identifies the device and offers an update. True when the caller keeps the device in its
    // field; a device that is not kept is freed before this returns.
    bool ConnectDevice(TCommonKelvoUsbDevice* ADevice);
    // The Update click on a device: key prompt for a locked one, parameters saved, switch into
    // the bootloader. The bootloader's arrival carries the update on.
    void StartUsbUpdate(TCommonKelvoUsbDevice* ADevice);
    // Closes and frees a held device; clears the log unless it is switching to its bootloader.
    void DisconnectDevice(TCommonKelvoUsbDevice* ADevice);

    // The store of the parameters in the settings file of the device with serial number ASerial.
    TParameterStore ParameterStore(const TSerialNum& ASerial);
    // The device's parameters into its settings file before an update, and back after it.
    bool SaveParameters(TCommonKelvoUsbDevice* ADevice);
    bool RestoreParameters(TCommonKelvoUsbDevice* ADevice);

    // The image for a device: the collection's entry or a newer downloaded one (which then replaces
    // the entry in the collection); nullptr when neither exists.
    TKelvoUsbFirmware* SelectFirmware(uint16_t AProductId, uint16_t AVersionHW);
    // Whether the image was downloaded in this run (built-in images are never marked refused).
    bool IsDownloaded(const TKelvoUsbFirmware* AImage) const;
    // Where the image came from, as the check and the history name it: "downloaded" or "built-in".
    const char* ImageSource(const TKelvoUsbFirmware& AImage) const {
        return IsDownloaded(&AImage) ? "downloaded" : "built-in";
    }

    // The device's journal step; a stored value outside the named steps is returned as it is.
    TUpdateStep ReadUpdateStep(const TSerialNum& ASerial);
    void WriteUpdateStep(const TSerialNum& ASerial, TUpdateStep AStep);

    // True once start-up has asked the program to end (the user folder could not be made).
    bool Terminating() const { return fTerminating; }
    // Failed device opens, updates and restores so far, including those a later attempt made good.
    int Failures() const { return fFailures; }
    // How the updates of this run ended: devices and targets whose last attempt updated them, devices
    // and targets whose last attempt failed (with failures that name no device), and devices whose
    // journal is left between SwitchRequested and FlashValidated. The console front end's summary and
    // exit status.
    struct TUpdateTally {
        int fUpdated = 0;
        int fFailed = 0;
        int fUnfinished = 0;
    };
    TUpdateTally Tally();
    // The update history in the user folder (UpdateHistory.h), and why the last record could not be
    // added to it ("" when it could).
    std::string HistoryFileName() const;
    const std::string& HistoryError() const { return fHistoryError; }
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
    // Base URL of the firmware download server; the front ends set it from --firmware-server.
    std::string fFirmwareServer = TKelvoUsbFirmware::DefaultDownloadServer;
    // Unknown on Linux; tests set it to reach the branches for newer desktop systems.
    TWinVer fWinVer = TWinVer::Unknown;
    TKelvoStdTargetObject* fTarget = nullptr;
    TKelvoStubTargetObject* fTargetStub = nullptr;

private:
    using THandler = void (TForm1::*)(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    // A family the window registers: its interface class, its arrival and removal handlers, and the
    // close of the device it holds (none for a class whose reports are ignored).
    struct TFamily {
        const TGUID* fClass;
        THandler fArrival;
        THandler fRemoval;
        void (TForm1::*fClose)();
    };
    // Every family, in the order they are registered and closed; the order decides which device
    // is handled first when several are present at start-up.
    static const std::vector<TFamily>& Families();
    // The arrival of a family device: unless a device is active, creates one of class TDevice for
    // the path and keeps it in AField when ConnectDevice adopts it.
    template <class TDevice> void ArriveAs(TDevice*& AField, const std::string& APath);
    // Whether AField holds the device at APath (paths compared without case).
    template <class TDevice> bool Holds(TDevice* AField, const std::string& APath) const;
    // The removal of a family device: when AField holds the device at APath, disconnects it.
    template <class TDevice> void RemoveFrom(TDevice*& AField, const std::string& APath);
    // The handlers and the close of a family that only holds its device in the field AField.
    template <auto AField>
    void ArriveIn(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    template <auto AField>
    void RemoveHeld(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);
    template <auto AField> void CloseHeld();
    void CloseWireless();
    // The DNxxxE device shares the family's driver but has nothing to update: its reports are ignored.
    void Ignore(TDeviceNotifier*, const TGUID&, const std::string&) {}
    // The journal steps a connection acts on before identification; false when it is not to go on
    // to identification, with AAdopt telling whether the caller keeps the device.
    bool ResumeJournal(TCommonKelvoUsbDevice* ADevice, TUpdateStep AStep, bool& AAdopt);
    // ResumeJournal for a running device whose journal says its flash was erased, written or
    // validated.
    bool ResumeAfterFlash(TCommonKelvoUsbDevice* ADevice, TUpdateStep AStep, bool& AAdopt);
    // The identification lines, the image choice and the update offer.
    void IdentifyDevice(TCommonKelvoUsbDevice* ADevice);
    // The write sequence on the held bootloader from the erase on; false when it stopped early.
    bool WriteFirmware(const TSerialNum& ASerial);

    // The flash sequence of every update path, from the erase to the validation, on APort.
    TFlashResult RunFlash(TFlashPort& APort, const TKelvoUsbFirmware& AImage, const TFlashSteps& ASteps);
    TFlashResult FlashImage(TFlashPort& APort, const TKelvoUsbFirmware& AImage, const TFlashSteps& ASteps);
    // Between blocks: false, with the log lines, when the flash is to stop.
    bool FlashMayGoOn(TFlashPort& APort, const TFlashSteps& ASteps);

    // How an update ended. A target's update is unfinished when the target went away during its
    // flash: it is flashed again when it comes back in its bootloader.
    enum class TUpdateEnd { None, Updated, Failed, Unfinished };
    // The target flash from the erase on, on the bootloader target held now.
    TUpdateEnd FlashTarget(const TKelvoUsbFirmware& AImage);
    // A target flash as a timer runs it: the image for the target (ANoImage logged and a failure
    // counted when there is none), the progress bar and busy cursor around AFlash, the window
    // disabled meanwhile when ADisableWindow (a flash that lets events run), and the end noted for
    // the target ASubject.
    void RunTargetFlash(uint16_t AProductId, uint16_t AVersionHW, const TUpdateSubject& ASubject,
                        const char* ANoImage, bool ADisableWindow,
                        TUpdateEnd (TForm1::*AFlash)(const TKelvoUsbFirmware& AImage));
    // Withdraws an Update offer made for a target.
    void WithdrawTargetOffer();
    // What is made of a bootloader target reported behind either controller: no image for it, a
    // flash (it holds no firmware or an older one), or nothing for now (it holds the current one).
    // Logs the entry into programming mode and the choice.
    enum class TStubTargetPlan { None, Flash, Current };
    TStubTargetPlan PlanStubTarget(uint16_t AProductId, uint16_t AVersionHW, uint16_t AVersionFW);
    // The arrival of a controller: unless a device or controller is held, creates the controller
    // and keeps it in AField once connected; it is returned only when it is identified and up to
    // date, so that it may hand its targets over.
    template <class TController>
    TController* ArriveAsController(TController*& AField, const std::string& APath);
    // The lines of a target reported in normal mode, behind either controller: its identity and how
    // its firmware compares with its image. True when the image is newer: the caller offers Update.
    bool ReportTarget(const TKelvoTargetObject& ATarget, const char* AController);
    // The observer's report of a target behind the controller named AController.
    void TellTargetFound(const TKelvoTargetObject& ATarget, const char* AController, bool AInBootloader);

    // A wireless bootloader target reported: identified, then flashed, validated or left alone.
    void Wireless485StubConnected(TTargetStub* AStub);
    // A wireless target in normal mode reported: its identity and the offer when it is older.
    void Wireless485TargetReported(TCustom485Target* ATarget);
    // The flash of the held bootloader target from the erase on; false when it stopped early.
    TUpdateEnd Flash485Target(const TKelvoUsbFirmware& AImage);
    // Runs ARoutine once, after the short delay a target's bootloader is given before it is driven.
    void ArmTargetTimer(void (TForm1::*ARoutine)());
    // The end of a bootloader target's validation, for either controller: logged, and when the
    // flash did not validate it is written again by AFlashTimer. AValid is returned.
    bool TargetValidated(bool AValid, void (TForm1::*AFlashTimer)());
    // One line when a target sent back to its firmware did not restart into it.
    void NoteTargetRestart(bool ARestarted);

    // The settings file of one device in the user folder.
    std::string SettingsFileName(const TSerialNum& ASerial) const;
    // Creates the user folder unless it exists; false when it cannot be made.
    bool MakeUserFolder();
    // Creates the notifier, registers the eight interface classes in their fixed order and reports
    // the devices already present.
    void RegisterDevices();

    // Whether an update under way must stop at once: the window is closing, or a close signal
    // has cancelled the downloads.
    bool CloseRequested() const;
    // A failure of the device with the serial number: counted, the device's last outcome, and the
    // end of its update in the history (AFirmwareAfter: what the device runs now, when known). The
    // observer hears of it as unfinished while the journal is between the switch and the restore.
    void NoteFailure(const TSerialNum& ASerial, TFailReason AReason,
                     std::optional<uint16_t> AFirmwareAfter = std::nullopt);
    // A failure that is counted for no device's outcome.
    void NoteUnattributedFailure(const TUpdateSubject& ASubject, TFailReason AReason);
    // How a target's flash ended: a failure is counted, the target's last outcome kept, and the end
    // written to the history.
    void NoteTargetEnd(const TUpdateSubject& ASubject, TUpdateEnd AEnd, TFailReason AReason);
    // Tells the observer how a device's update ended: unfinished at AStep (kept, so the close does
    // not say it again), or another outcome.
    void TellUnfinished(const std::string& ASerial, TUpdateStep AStep, TFailReason AReason);
    void TellDeviceEnd(const TSerialNum& ASerial, TUpdateOutcome AOutcome, TFailReason AReason);
    static TUpdateSubject DeviceSubject(const TSerialNum& ASerial) { return {SerialToStr(ASerial), {}}; }
    static TUpdateSubject TargetSubject(const TKelvoTargetObject& ATarget);
    bool IsRefused(const TKelvoUsbFirmware& AImage) const;
    // Puts the collection entry that the refused download AImage replaced back in its place;
    // nullptr when there was none. The refused image is kept (a caller may still hold it).
    TKelvoUsbFirmware* RestoreReplacedEntry(TKelvoUsbFirmware* AImage);

    // The update history (Unit1History.cpp). What is known of an update under way: a USB device's in
    // its settings file beside the journal, so that a later run that takes the update up knows how
    // it began; a target's in memory, as targets keep no settings file.
    struct THistoryEntry {
        std::string fKind;
        uint16_t fProductId = 0;
        uint16_t fVersionHW = 0;
        std::optional<uint16_t> fFirmwareBefore;
        std::string fSource;
        std::optional<uint16_t> fImageFW;
        int fResumes = 0;
        int64_t fStartedMs = 0;
        // Whether the update has gone on in this run without a break (a target's only).
        bool fLive = true;
    };
    // The Update click on a USB device or target starts an entry.
    void BeginUsbHistory(TCommonKelvoUsbDevice* ADevice);
    void BeginTargetHistory(const TKelvoTargetObject& ATarget);
    // A bootloader, or a bootloader target about to be flashed, takes the entry up: a new one when
    // none is under way, and a resume counted when the update was broken off before.
    void TakeUpUsbHistory(const TSerialNum& ASerial, TUpdateStep AStep, uint16_t AProductId,
                          uint16_t AVersionHW);
    void TakeUpTargetHistory(const TKelvoTargetObject& ATarget);
    // The image chosen for the update.
    void NoteUsbHistoryImage(const TSerialNum& ASerial, const TKelvoUsbFirmware& AImage);
    void NoteTargetHistoryImage(const std::string& ASerial, const TKelvoUsbFirmware& AImage);
    // A USB device back from its update, running its new firmware.
    void RecordUsbUpdated(TCommonKelvoUsbDevice* ADevice);
    // The record of an update's end; an unfinished one keeps its entry for the resume.
    void RecordUsbEnd(const TSerialNum& ASerial, std::optional<uint16_t> AFirmwareAfter);
    void RecordTargetEnd(const std::string& ASerial, TUpdateEnd AEnd);
    // At close: the USB updates that went on in this run and are left unfinished.
    void RecordUnfinishedAtClose();
    std::optional<THistoryEntry> ReadUsbHistory(const TSerialNum& ASerial);
    void WriteUsbHistory(const TSerialNum& ASerial, const std::optional<THistoryEntry>& AEntry);
    void AppendHistory(const std::string& ASerial, const THistoryEntry& AEntry, const char* AOutcome,
                       std::optional<uint16_t> AFirmwareAfter);

    bool fTerminating = false;
    bool fClosing = false;
    // Kept by the connection, update and restore sequences of the device families.
    int fFailures = 0;
    bool fUpdateUnderWay = false;
    // Counts the bootloader objects made, so a write sequence that lets events run notices when
    // its bootloader was replaced by another one in the meantime.
    uint64_t fStubGeneration = 0;
    // The same for bootloader targets, whether a target flash runs, and whether Update is offered
    // for a target.
    uint64_t fTargetStubGeneration = 0;
    bool fTargetFlashing = false;
    bool fTargetOffered = false;
    // The serial number of the target sent from its bootloader to its current firmware, until it
    // is reported running: one that comes back in its bootloader instead is left there.
    std::string fTargetSentToFirmware;
    // Whether Update is offered for a wireless target, whether the offered target was told to
    // switch into its bootloader, and the wireless targets reported while another one was held, to
    // be taken up once it is gone.
    bool f485Offered = false;
    bool f485Switching = false;
    std::vector<TCustom485Target*> f485Waiting;
    // Downloaded images that had no collection entry to replace. They stay until the window goes,
    // since an update may still use one after a later selection.
    std::vector<std::unique_ptr<TKelvoUsbFirmware>> fDownloads;
    // Collection entries that a newer download replaced, kept to fall back on should the device
    // refuse the download.
    std::vector<std::unique_ptr<TKelvoUsbFirmware>> fReplacedEntries;
    std::vector<const TKelvoUsbFirmware*> fDownloadedImages;
    // Images a device refused at validation: product id, hardware and firmware version, CRC-32.
    std::vector<std::tuple<uint16_t, uint16_t, uint16_t, uint32_t>> fRefusedImages;
    // The last outcome of each device (by serial number text) seen in this run.
    std::map<std::string, TUpdateEnd> fUpdateEnds;
    // How the last flash of each target (behind a USB or wireless controller) ended, by serial number.
    std::map<std::string, TUpdateEnd> fTargetUpdateEnds;
    int fAttributedFailures = 0;
    // USB devices whose update has gone on in this run without a break, by serial number text, and
    // those told to replug after the erase (their bootloader's return is no resume).
    std::set<std::string> fHistoryLive;
    std::set<std::string> fReplugAsked;
    std::map<std::string, THistoryEntry> fTargetHistory;
    std::string fHistoryError;
    // Why the last flash sequence (or write sequence of a USB device) stopped early: the request
    // under way, or what stopped it between requests.
    TFailReason fFailReason = TFailReason::None;
    // The journal step each device was last reported unfinished at.
    std::map<std::string, TUpdateStep> fToldUnfinished;
    TUpdateObserver fNoObserver;
    TUpdateObserver* fObserver = &fNoObserver;
};

template <class TController>
TController* TForm1::ArriveAsController(TController*& AField, const std::string& APath) {
    // A second controller while one is held would leave the first without a field to close it.
    if (fActiveDevice || AField)
        return nullptr;
    auto* controller = new TController(this, APath);
    // A controller that does not open is freed by ConnectDevice, and so is one back from its own
    // update: neither may be touched after.
    if (!ConnectDevice(controller))
        return nullptr;
    AField = controller;
    // Only a controller that is itself up to date (or has no image) hands its targets over.
    return StateOf(*controller) == TDeviceState::Identified ? controller : nullptr;
}

template <class TDevice> bool TForm1::Holds(TDevice* AField, const std::string& APath) const {
    return AField && strcasecmp(AField->DevicePath().c_str(), APath.c_str()) == 0;
}

template <class TDevice> void TForm1::RemoveFrom(TDevice*& AField, const std::string& APath) {
    if (!Holds(AField, APath))
        return;
    DisconnectDevice(AField);
    AField = nullptr;
}
