// The main window's handling of the USB target controller and the electronic target behind it: the
// controller's arrival and removal, the target's reports, the Update offer, the switch into the
// target's bootloader and the flash through the controller. Targets keep no settings file: a target
// found in its bootloader is simply flashed again.
#include "MyLib/KelvoUsbTarget.h"
#include "app/FlashSequence.h"
#include "app/Unit1.h"
#include "app/UpdateStates.h"

#include <functional>

namespace {

constexpr const char* TargetController = "target-controller";

} // namespace

void TForm1::TargetControllerArrival(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    auto* controller = ArriveAsController(fTC, AName);
    if (!controller)
        return;
    controller->fOnConnect = std::bind_front(&TForm1::TargetConnected, this);
    controller->fOnDisconnect = std::bind_front(&TForm1::TargetDisconnected, this);
    controller->fOnStubConnect = std::bind_front(&TForm1::TargetStubConnected, this);
    controller->fOnStubDisconnect = std::bind_front(&TForm1::TargetStubDisconnected, this);
    controller->NotifyIfConnected();
}

void TForm1::TargetControllerRemoval(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    // Closing reports the target gone, which clears fTarget or fTargetStub.
    RemoveFrom(fTC, AName);
}

void TForm1::TargetConnected(TKelvoTargetUsbDevice*, TKelvoTargetObject* ATarget) {
    if (fTarget || fTargetStub)
        return;
    fTarget = static_cast<TKelvoStdTargetObject*>(ATarget);
    fTargetSentToFirmware.clear();
    if (ReportTarget(*fTarget, TargetController)) {
        btnUpdate.SetCaption("Update");
        btnUpdate.SetOnClick([this] { StartTargetUpdate(); });
        btnUpdate.SetEnabled(true);
        fTargetOffered = true;
        return;
    }
    WithdrawTargetOffer();
}

bool TForm1::ReportTarget(const TKelvoTargetObject& ATarget, const char* AController) {
    TellTargetFound(ATarget, AController, false);
    // Copied: the target object may go while the image is looked for.
    const TUpdateSubject subject = TargetSubject(ATarget);
    const uint16_t versionFW = ATarget.fFWVersion;
    LogMessage("Connected target");
    LogMessage("Serial number " + SerialToStr(ATarget.fSerial));
    LogMessage("Target hardware version is 0x" + Hex4(ATarget.fHWVersion));
    LogMessage("Target firmware version is 0x" + Hex4(versionFW));
    const TKelvoUsbFirmware* image = SelectFirmware(ATarget.fProductId, ATarget.fHWVersion);
    if (image && image->Valid() && versionFW < image->VersionFW()) {
        LogMessage("Newer firmware found. Click 'UPDATE' to start");
        fObserver->Offered(subject, image->VersionFW(), IsDownloaded(image));
        return true;
    }
    if (!image)
        LogMessage("No firmware for this target");
    else if (!image->Valid())
        LogMessage("Invalid firmware resource!");
    else {
        LogMessage("Firmware is up to date.");
        fObserver->Ended(subject, TUpdateOutcome::Current, TFailReason::None, std::nullopt);
    }
    return false;
}

void TForm1::TellTargetFound(const TKelvoTargetObject& ATarget, const char* AController, bool AInBootloader) {
    std::optional<uint16_t> versionFW = ATarget.fFWVersion;
    if (AInBootloader && versionFW == KTargetNoFirmware)
        versionFW.reset();
    fObserver->TargetFound({AController, ATarget.fIndex, SerialToStr(ATarget.fSerial), ATarget.fProductId,
                            ATarget.fHWVersion, versionFW, AInBootloader});
}

void TForm1::TargetDisconnected(TKelvoTargetUsbDevice*, TKelvoTargetObject* ATarget) {
    if (ATarget != fTarget)
        return;
    fTarget = nullptr;
    WithdrawTargetOffer();
}

void TForm1::WithdrawTargetOffer() {
    if (!fTargetOffered)
        return;
    fTargetOffered = false;
    btnUpdate.SetEnabled(false);
}

void TForm1::StartTargetUpdate() {
    if (!fTC || !fTarget)
        return;
    fObserver->StageBegun(TargetSubject(*fTarget), TUpdateStage::EnterBootloader);
    if (fTC->SwitchTargetToStub()) {
        BeginTargetHistory(*fTarget);
        WithdrawTargetOffer();
    } else
        LogMessage("Error entering programming mode!");
}

// Every bootloader target reported is flashed, the one an Update click produced and as well one
// whose earlier update was interrupted.
void TForm1::TargetStubConnected(TKelvoTargetUsbDevice*, TKelvoTargetObject* ATarget) {
    if (fTarget || fTargetStub)
        return;
    fTargetStub = static_cast<TKelvoStubTargetObject*>(ATarget);
    ++fTargetStubGeneration;
    TellTargetFound(*fTargetStub, TargetController, true);
    const TStubTargetPlan plan =
        PlanStubTarget(fTargetStub->fProductId, fTargetStub->fHWVersion, fTargetStub->fFWVersion);
    // A bootloader holding the current firmware is validated and sent back to it, once: a target
    // whose firmware does not start stays in its bootloader instead of being validated for ever.
    if (plan == TStubTargetPlan::Current && fTargetSentToFirmware != SerialToStr(fTargetStub->fSerial))
        ArmTargetTimer(&TForm1::TargetValidateTimer);
    else if (plan == TStubTargetPlan::Flash)
        ArmTargetTimer(&TForm1::TargetFlashTimer);
}

void TForm1::ArmTargetTimer(void (TForm1::*ARoutine)()) {
    Timer1.SetOnTimer([this, ARoutine] { (this->*ARoutine)(); });
    Timer1.SetInterval(KTargetFlashDelayMs);
    Timer1.SetEnabled(true);
}

bool TForm1::TargetValidated(bool AValid, void (TForm1::*AFlashTimer)()) {
    if (AValid) {
        LogMessage("Validate ok!");
        return true;
    }
    LogMessage("Need to rewrite flash.");
    LogMessage("Restoring firmware");
    ArmTargetTimer(AFlashTimer);
    return false;
}

void TForm1::NoteTargetRestart(bool ARestarted) {
    if (!ARestarted)
        LogMessage("The target did not restart into its firmware; switch it off and on to use it.");
}

void TForm1::TargetValidateTimer() {
    Timer1.SetEnabled(false);
    if (!fTargetStub || !fTC || !TargetValidated(fTargetStub->ValidateFlash(), &TForm1::TargetFlashTimer))
        return;
    fTargetSentToFirmware = SerialToStr(fTargetStub->fSerial);
    NoteTargetRestart(fTC->ReconnectTarget());
}

TForm1::TStubTargetPlan TForm1::PlanStubTarget(uint16_t AProductId, uint16_t AVersionHW,
                                               uint16_t AVersionFW) {
    LogMessage("Entered programming mode.");
    const TKelvoUsbFirmware* image = SelectFirmware(AProductId, AVersionHW);
    if (!image) {
        LogMessage("No firmware for this target");
        return TStubTargetPlan::None;
    }
    if (AVersionFW == KTargetNoFirmware) {
        LogMessage("Restoring update...");
        return TStubTargetPlan::Flash;
    }
    if (AVersionFW >= image->VersionFW()) {
        LogMessage("Firmware is up to date.");
        return TStubTargetPlan::Current;
    }
    LogMessage("Updating firmware...");
    return TStubTargetPlan::Flash;
}

void TForm1::TargetStubDisconnected(TKelvoTargetUsbDevice*, TKelvoTargetObject* ATarget) {
    if (ATarget == fTargetStub)
        fTargetStub = nullptr;
}

void TForm1::TargetFlashTimer() {
    Timer1.SetEnabled(false);
    // The timer fired from inside a running flash (its write loop lets events run): the new
    // bootloader target is flashed once the running flash is over.
    if (fTargetFlashing) {
        Timer1.SetEnabled(true);
        return;
    }
    if (!fTargetStub)
        return;
    fTargetFlashing = true;
    TakeUpTargetHistory(*fTargetStub);
    // "firwmare" is the text users' log readers and the transcripts know: kept letter for letter.
    RunTargetFlash(fTargetStub->fProductId, fTargetStub->fHWVersion, TargetSubject(*fTargetStub),
                   "Cannot load firwmare!", true, &TForm1::FlashTarget);
    fTargetFlashing = false;
}

void TForm1::RunTargetFlash(uint16_t AProductId, uint16_t AVersionHW, const TUpdateSubject& ASubject,
                            const char* ANoImage, bool ADisableWindow,
                            TUpdateEnd (TForm1::*AFlash)(const TKelvoUsbFirmware& AImage)) {
    const TKelvoUsbFirmware* image = SelectFirmware(AProductId, AVersionHW);
    if (!image) {
        LogMessage(ANoImage);
        NoteUnattributedFailure(ASubject, TFailReason::NoImage);
        return;
    }
    NoteTargetHistoryImage(ASubject.fSerial, *image);
    // An image that failed its own checks is never written: the erase would already leave the
    // target without working firmware.
    if (!image->Valid()) {
        LogMessage("Invalid firmware resource!");
        NoteTargetEnd(ASubject, TUpdateEnd::Failed, TFailReason::InvalidImage);
        return;
    }
    fUpdateUnderWay = true;
    ProgressBar1.SetMin(0);
    ProgressBar1.SetMax(int(KFlashImageSize));
    Toolkit.SetBusyCursor(true);
    if (ADisableWindow)
        Toolkit.SetWindowEnabled(false);
    const TUpdateEnd end = (this->*AFlash)(*image);
    NoteTargetEnd(ASubject, end, end == TUpdateEnd::Unfinished ? TFailReason::Gone : fFailReason);
    Toolkit.SetBusyCursor(false);
    ProgressBar1.SetPosition(0);
    if (ADisableWindow)
        Toolkit.SetWindowEnabled(true);
    fUpdateUnderWay = false;
}

TForm1::TUpdateEnd TForm1::FlashTarget(const TKelvoUsbFirmware& AImage) {
    // Events run between blocks and may free the bootloader target, or replace it by a restarted
    // one that must not receive the rest of this image.
    const uint64_t generation = fTargetStubGeneration;
    auto present = [this, generation] { return fTargetStub && fTargetStubGeneration == generation; };
    TBootloaderFlashPort port(*fTargetStub, present);
    TFlashSteps steps = TargetFlashSteps(TKelvoStubTargetObject::KBlockSize);
    steps.fSubject = TargetSubject(*fTargetStub);
    steps.fEventsBetweenBlocks = true;
    steps.fGone = {"Error: Target is suddenly disconnected!", "Please disconnect/connect and try again."};
    steps.fLastCheckAfterValidating = true;
    if (RunFlash(port, AImage, steps) != TFlashResult::Flashed) {
        // A target no longer held, or no longer behind its controller, went away during the flash;
        // the controller's report of it may still be on its way, so the controller is asked.
        const bool gone = !present() || !fTC || !fTC->TargetPresent();
        return gone ? TUpdateEnd::Unfinished : TUpdateEnd::Failed;
    }
    LogMessage("Firmware updated successfully!");
    fObserver->StageBegun(steps.fSubject, TUpdateStage::LeaveBootloader);
    // The controller then reports the target back in normal mode with its new firmware.
    if (fTC)
        fTC->ReconnectTarget();
    return TUpdateEnd::Updated;
}
