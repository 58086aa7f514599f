// The main window's handling of the wireless controller and the targets on its radio: the
// controller's arrival and removal, the targets' reports, the Update offer, the switch of a target
// into its bootloader, the flash over the radio in 8-byte blocks, and the validation of a bootloader
// target that already holds the current firmware. Targets keep no settings file: a target found in
// its bootloader with no usable firmware is simply flashed again. One target is updated at a time;
// the others wait on the radio and are taken up, in the order they came, once it is done.
#include "MyLib/KelvoUsbWireless1.h"
#include "MyLib/KelvoWirelessTargets.h"
#include "app/FlashSequence.h"
#include "app/Unit1.h"
#include "app/UpdateStates.h"

#include <algorithm>
#include <functional>
#include <utility>

namespace {

constexpr const char* WirelessController = "wireless-controller";

} // namespace

void TForm1::WirelessArrival(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    auto* controller = ArriveAsController(fWL, AName);
    if (!controller)
        return;
    controller->fOnTargetConnect = std::bind_front(&TForm1::Wireless485TargetConnected, this);
    controller->fOnTargetDisconnect = std::bind_front(&TForm1::Wireless485TargetDisconnected, this);
    controller->NotifyConnected();
    controller->TurnPowerOn();
}

void TForm1::WirelessRemoval(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    if (!Holds(fWL, AName))
        return;
    // Closing reports every target gone; none of them is to be taken up any more.
    f485Waiting.clear();
    fWL->TurnPowerOff();
    RemoveFrom(fWL, AName);
}

void TForm1::Wireless485TargetConnected(TKelvoWireless*, TCustom485Target* ATarget) {
    if (f485Stub || f485Target) {
        f485Waiting.push_back(ATarget);
        return;
    }
    if (ATarget->InBootloader())
        Wireless485StubConnected(static_cast<TTargetStub*>(ATarget));
    else
        Wireless485TargetReported(ATarget);
}

void TForm1::Wireless485TargetDisconnected(TKelvoWireless* ASender, TCustom485Target* ATarget) {
    f485Waiting.erase(std::remove(f485Waiting.begin(), f485Waiting.end(), ATarget), f485Waiting.end());
    if (ATarget == f485Stub)
        f485Stub = nullptr;
    else if (ATarget == f485Target) {
        f485Target = nullptr;
        if (std::exchange(f485Offered, false))
            btnUpdate.SetEnabled(false);
        // A target leaving for its bootloader comes back as the bootloader target to flash; the
        // others wait for that one.
        if (std::exchange(f485Switching, false))
            return;
    } else
        return;
    // The targets reported while this one was held are taken up now, in the order they came.
    while (!f485Stub && !f485Target && !f485Waiting.empty()) {
        TCustom485Target* next = f485Waiting.front();
        f485Waiting.erase(f485Waiting.begin());
        Wireless485TargetConnected(ASender, next);
    }
}

void TForm1::Wireless485TargetReported(TCustom485Target* ATarget) {
    if (!ReportTarget(*ATarget, WirelessController))
        return;
    btnUpdate.SetCaption("Update");
    btnUpdate.SetEnabled(true);
    btnUpdate.SetOnClick([this] { Start485TargetUpdate(); });
    f485Target = ATarget;
    f485Offered = true;
}

// A bootloader target is held from its report until it goes, whatever is made of it.
void TForm1::Wireless485StubConnected(TTargetStub* AStub) {
    f485Stub = AStub;
    if (!AStub->GetStubHWInfo()) {
        LogMessage("Error reading target firmware info!");
        return;
    }
    TSerialNum serial{};
    if (!AStub->GetSerialNum(serial)) {
        LogMessage("Error reading target info!");
        return;
    }
    TellTargetFound(*AStub, WirelessController, true);
    const TStubTargetPlan plan = PlanStubTarget(AStub->fProductId, AStub->fHWVersion, AStub->fFWVersion);
    if (plan == TStubTargetPlan::Flash) {
        ArmTargetTimer(&TForm1::Target485FlashTimer);
    } else if (plan == TStubTargetPlan::Current) {
        // The bootloader of a target that holds the current firmware was left running (a flash
        // ends in the bootloader) or restarted into it: it is validated and, when valid, sent back
        // to its firmware. Only while the target has come back as a running target after each
        // earlier bootloader report: one that returns to its bootloader once more is left alone,
        // so a target whose firmware does not start cannot keep the window validating it.
        if (AStub->WasConnectedAsStub() <= AStub->WasConnectedAsTarget() + 1)
            ArmTargetTimer(&TForm1::Target485ValidateTimer);
    }
}

void TForm1::Start485TargetUpdate() {
    if (!fWL || !f485Target)
        return;
    fObserver->StageBegun(TargetSubject(*f485Target), TUpdateStage::EnterBootloader);
    if (f485Target->SwitchToStub()) {
        BeginTargetHistory(*f485Target);
        f485Switching = true;
        f485Offered = false;
        btnUpdate.SetEnabled(false);
    } else {
        LogMessage("Error entering programming mode!");
    }
}

void TForm1::Target485FlashTimer() {
    Timer1.SetEnabled(false);
    if (!f485Stub)
        return;
    TakeUpTargetHistory(*f485Stub);
    // No events run during this flash, so the window stays enabled.
    RunTargetFlash(f485Stub->fProductId, f485Stub->fHWVersion, TargetSubject(*f485Stub),
                   "Error reading firmware from resource!", false, &TForm1::Flash485Target);
}

// No window events run inside: the held target and controller cannot go away meanwhile, and a
// target or controller that drops off shows as a refused block. A flashed target is sent back to
// its firmware, so the next target waiting on the radio is taken up when it returns.
TForm1::TUpdateEnd TForm1::Flash485Target(const TKelvoUsbFirmware& AImage) {
    TTargetStub* stub = f485Stub;
    TBootloaderFlashPort port(*stub, nullptr);
    TFlashSteps steps = TargetFlashSteps(TTargetStub::KBlockSize);
    steps.fSubject = TargetSubject(*stub);
    if (RunFlash(port, AImage, steps) != TFlashResult::Flashed)
        // A target that no longer answers went out of reach (or its controller went away).
        return stub->UpdateTargetInfo() ? TUpdateEnd::Failed : TUpdateEnd::Unfinished;
    stub->UpdateTargetInfo();
    stub->GetStubHWInfo();
    LogMessage("Firmware updated successfully!");
    fObserver->StageBegun(steps.fSubject, TUpdateStage::LeaveBootloader);
    // Sent back to its new firmware, the target leaves the radio's update slot to the next one.
    NoteTargetRestart(stub->Reconnect());
    return TUpdateEnd::Updated;
}

void TForm1::Target485ValidateTimer() {
    Timer1.SetEnabled(false);
    if (!f485Stub)
        return;
    if (TargetValidated(f485Stub->ValidateFlash(), &TForm1::Target485FlashTimer))
        f485Stub->Reconnect();
}
