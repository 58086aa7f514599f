// The update of a USB family device through its bootloader: the Update click that saves the
// device's parameters and switches it into the bootloader, the bootloader's arrival and removal, and
// the flash the timer runs through the bootloader (FlashSequence.h), events running between blocks.
#include "app/Unit1.h"

#include "app/FlashSequence.h"

#include "MyLib/KelvoUsbStub.h"

#include "platform/Http.h"

namespace {

constexpr const char* InterruptedText = "Update interrupted; replug the device and run the updater again.";

} // namespace

void TForm1::StartUsbUpdate(TCommonKelvoUsbDevice* ADevice) {
    BeginUsbHistory(ADevice);
    if (ADevice->fLocked && ADevice->fVersionFW > 2) {
        const auto text = Toolkit.InputBox("Device is locked", "Please enter device key to unlock:", "");
        // The box was cancelled by a close: the window is going, and so is the update.
        if (CloseRequested())
            return;
        if (text) {
            TDeviceKey key{};
            StrToSerial(*text, key);
            if (KeyValid(key) && !ADevice->Unlock(key)) {
                Toolkit.ShowMessage("Invalid device key or error unlocking device");
                NoteFailure(ADevice->fSerialNum, TFailReason::Unlock);
                return;
            }
        }
    }
    AskToReplug = false;
    if (!SaveParameters(ADevice)) {
        LogMessage("Error: cannot save device parameters!");
        NoteFailure(ADevice->fSerialNum, TFailReason::SaveParameters);
        return;
    }
    const TSerialNum serial = ADevice->fSerialNum;
    fObserver->StageBegun(DeviceSubject(serial), TUpdateStage::EnterBootloader);
    AskToReplug = ADevice->NeedToReplugAfterErase();
    if (ADevice->NeedToConfirmSwitchToStub()) {
        if (!ADevice->SwitchToStub()) {
            AskToReplug = false;
            LogMessage(ADevice->SwitchToStubError());
            NoteFailure(serial, TFailReason::Switch);
            return;
        }
        SetState(*ADevice, TDeviceState::SwitchingToStub);
    } else {
        // A refused switch does not stop the update here: the device stays active with the journal
        // at SwitchRequested, and its replug resets the journal.
        LogMessage("Entering programming mode...");
        if (ADevice->SwitchToStub())
            SetState(*ADevice, TDeviceState::SwitchingToStub);
    }
    LogMessage("If process does not respond, unplug and replug device.");
    LogMessage("Entering programming mode. Wait...");
    WriteUpdateStep(serial, TUpdateStep::SwitchRequested);
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
        NoteUnattributedFailure({}, TFailReason::Open);
        delete fStub;
        fStub = nullptr;
        return;
    }
    TSerialNum serial;
    if (!fStub->GetSerialNum(&serial)) {
        LogMessage("Error: cannot get STUB serial number! Try to replug device");
        NoteUnattributedFailure({}, TFailReason::BootloaderInfo);
        return;
    }
    LogMessage("Stub plugged in, serial number is " + SerialToStr(serial));
    fUpdateEnds.try_emplace(SerialToStr(serial), TUpdateEnd::None);
    TStubHardwareInfo info{};
    if (!fStub->GetHardwareInfo(info)) {
        LogMessage("Error: cannot read STUB hardware info!");
        NoteFailure(serial, TFailReason::BootloaderInfo);
        return;
    }
    TakeUpUsbHistory(serial, ReadUpdateStep(serial), info.idProduct, info.VersionHW);
    fObserver->DeviceFound({AName, "bootloader", SerialToStr(serial), info.idProduct, info.VersionHW,
                            std::nullopt, std::nullopt});
    WriteUpdateStep(serial, TUpdateStep::StubArrived);
    Timer1.SetOnTimer([this] { Timer1Timer(); });
    Timer1.SetInterval(200);
    Timer1.SetEnabled(true);
}

void TForm1::StubRemoval(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    if (!Holds(fStub, AName))
        return;
    fStub->Close();
    delete fStub;
    fStub = nullptr;
}

void TForm1::Timer1Timer() {
    Timer1.SetEnabled(false);
    TSerialNum serial;
    if (!fStub || !fStub->GetSerialNum(&serial)) {
        NoteUnattributedFailure({}, fStub ? TFailReason::BootloaderInfo : TFailReason::Gone);
        return;
    }
    fUpdateUnderWay = true;
    if (!WriteFirmware(serial))
        NoteFailure(serial, fFailReason);
    fUpdateUnderWay = false;
}

bool TForm1::WriteFirmware(const TSerialNum& ASerial) {
    TKelvoUsbFirmware* image = SelectFirmware(fStub->fHWInfo.idProduct, fStub->fHWInfo.VersionHW);
    // Closed during the download: nothing is erased, and the journal keeps StubArrived so the next
    // run starts the write sequence again.
    if (CloseRequested()) {
        LogMessage(InterruptedText);
        fFailReason = TFailReason::Interrupted;
        return false;
    }
    if (!image) {
        LogMessage("Error: cannot load firmware from resource!");
        fFailReason = TFailReason::NoImage;
        return false;
    }
    NoteUsbHistoryImage(ASerial, *image);
    const uint64_t generation = fStubGeneration;
    TBootloaderFlashPort port(*fStub, [this, generation] { return fStub && fStubGeneration == generation; });
    TFlashSteps steps;
    steps.fSubject = DeviceSubject(ASerial);
    steps.fBlockSize = fStub->RecommendedDataBlockSize();
    steps.fEventsBetweenBlocks = true;
    // A close (the window's, or a signal's) while blocks go in: the journal keeps FlashErased and
    // the next run writes the image again.
    steps.fInterrupted = InterruptedText;
    steps.fGone = {"Device disconnected."};
    steps.fSetProgressRange = true;
    steps.fAfterErase = [&] {
        WriteUpdateStep(ASerial, TUpdateStep::FlashErased);
        LogMessage("Flash erased.");
        if (!AskToReplug)
            return true;
        AskToReplug = false;
        fReplugAsked.insert(SerialToStr(ASerial));
        // Not a failure: the replugged bootloader goes on from here.
        LogMessage("Please replug device to continue.");
        return false;
    };
    steps.fAfterWrite = [&] { WriteUpdateStep(ASerial, TUpdateStep::FlashWritten); };
    steps.fSynchroFailed = "Error: Set synchro failed!";
    steps.fWriteFailed = {"Error writing flash!"};
    steps.fWritten = "Flash successfully written.";
    steps.fValidating = "Validating flash...";
    steps.fValidateFailed = "Error! Try to replug usb device.";
    switch (RunFlash(port, *image, steps)) {
    case TFlashResult::Flashed:
        break;
    case TFlashResult::Paused:
        return true;
    case TFlashResult::Failed:
        return false;
    case TFlashResult::Refused:
        // A downloaded image the device would not take (enciphered for other devices, say) is
        // not offered to it again; the retry falls back to the built-in image.
        if (IsDownloaded(image))
            fRefusedImages.emplace_back(image->ProductID(), image->VersionHW(), image->VersionFW(),
                                        uint32_t(image->Data().CRC32));
        return false;
    }
    fObserver->StageBegun(steps.fSubject, TUpdateStage::LeaveBootloader);
    LogMessage("Leaving programming mode.");
    LogMessage("If process does not respond please unplug and replug device.");
    WriteUpdateStep(ASerial, TUpdateStep::FlashValidated);
    fStub->ReconnectUsb();
    return true;
}

bool TForm1::CloseRequested() const {
    return fClosing || HttpTransfersCancelled();
}
