// The main window's handling of the USB target controller and the electronic target behind it: the
// controller's arrival and removal, the target's reports, the Update offer, the switch into the
// target's bootloader and the flash through the controller. Targets keep no settings file: a target
// found in its bootloader is simply flashed again.
#include "MyLib/KelvoUsbTarget.h"
#include "app/Unit1.h"
#include "app/UpdateStates.h"

#include <strings.h>

#include <algorithm>

void TForm1::TargetControllerArrival(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    // A second controller while one is held would leave the first without a field to close it.
    if (fActiveDevice || fTC)
        return;
    auto* controller = new TKelvoTargetUsbDevice(this, AName);
    if (!ConnectDevice(controller))
        return;
    fTC = controller;
    // Only a controller that is itself up to date (or has no image) hands its target over.
    if (StateOf(*controller) != TDeviceState::Identified)
        return;
    controller->fOnConnect = [this](TKelvoTargetUsbDevice* ASender, TKelvoTargetObject* ATarget) {
        TargetConnected(ASender, ATarget);
    };
    controller->fOnDisconnect = [this](TKelvoTargetUsbDevice* ASender, TKelvoTargetObject* ATarget) {
        TargetDisconnected(ASender, ATarget);
    };
    controller->fOnStubConnect = [this](TKelvoTargetUsbDevice* ASender, TKelvoTargetObject* ATarget) {
        TargetStubConnected(ASender, ATarget);
    };
    controller->fOnStubDisconnect = [this](TKelvoTargetUsbDevice* ASender, TKelvoTargetObject* ATarget) {
        TargetStubDisconnected(ASender, ATarget);
    };
    controller->NotifyIfConnected();
}

void TForm1::TargetControllerRemoval(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    if (!fTC || strcasecmp(fTC->DevicePath().c_str(), AName.c_str()) != 0)
        return;
    // Closing reports the target gone, which clears fTarget or fTargetStub.
    DisconnectDevice(fTC);
    fTC = nullptr;
}

void TForm1::TargetConnected(TKelvoTargetUsbDevice*, TKelvoTargetObject* ATarget) {
    if (fTarget || fTargetStub)
        return;
    fTarget = static_cast<TKelvoStdTargetObject*>(ATarget);
    LogMessage("Connected target");
    LogMessage("Serial number " + SerialToStr(fTarget->fSerial));
    LogMessage("Target hardware version is 0x" + Hex4(fTarget->fHWVersion));
    LogMessage("Target firmware version is 0x" + Hex4(fTarget->fFWVersion));
    const TKelvoUsbFirmware* image = SelectFirmware(fTarget->fProductId, fTarget->fHWVersion);
    if (image && image->Valid() && fTarget->fFWVersion < image->VersionFW()) {
        LogMessage("Newer firmware found. Click 'UPDATE' to start");
        btnUpdate.SetCaption("Update");
        btnUpdate.SetOnClick([this] { StartTargetUpdate(); });
        btnUpdate.SetEnabled(true);
        fTargetOffered = true;
        return;
    }
    if (!image)
        LogMessage("No firmware for this target");
    else if (!image->Valid())
        LogMessage("Invalid firmware resource!");
    else
        LogMessage("Firmware is up to date.");
    WithdrawTargetOffer();
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
    if (fTC->SwitchTargetToStub())
        WithdrawTargetOffer();
    else
        LogMessage("Error entering programming mode!");
}

// Every bootloader target reported is flashed, the one an Update click produced and as well one
// whose earlier update was interrupted.
void TForm1::TargetStubConnected(TKelvoTargetUsbDevice*, TKelvoTargetObject* ATarget) {
    if (fTarget || fTargetStub)
        return;
    fTargetStub = static_cast<TKelvoStubTargetObject*>(ATarget);
    ++fTargetStubGeneration;
    LogMessage("Entered programming mode.");
    const TKelvoUsbFirmware* image = SelectFirmware(fTargetStub->fProductId, fTargetStub->fHWVersion);
    if (!image) {
        LogMessage("No firmware for this target");
        return;
    }
    if (fTargetStub->fFWVersion == KTargetNoFirmware) {
        LogMessage("Restoring update...");
    } else if (fTargetStub->fFWVersion >= image->VersionFW()) {
        // It stays in its bootloader.
        LogMessage("Firmware is up to date.");
        return;
    } else {
        LogMessage("Updating firmware...");
    }
    Timer1.SetOnTimer([this] { TargetFlashTimer(); });
    Timer1.SetInterval(KTargetFlashDelayMs);
    Timer1.SetEnabled(true);
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
    const TKelvoUsbFirmware* image = SelectFirmware(fTargetStub->fProductId, fTargetStub->fHWVersion);
    if (!image) {
        LogMessage("Cannot load firwmare!");
        ++fFailures;
        return;
    }
    fTargetFlashing = true;
    fUpdateUnderWay = true;
    ProgressBar1.SetMin(0);
    ProgressBar1.SetMax(int(KTargetImageSize));
    Toolkit.SetBusyCursor(true);
    Toolkit.SetWindowEnabled(false);
    const TSerialNum serial = fTargetStub->fSerial;
    NoteTargetEnd(serial, FlashTarget(*image));
    Toolkit.SetBusyCursor(false);
    ProgressBar1.SetPosition(0);
    Toolkit.SetWindowEnabled(true);
    fTargetFlashing = false;
    fUpdateUnderWay = false;
}

bool TForm1::FlashTarget(const TKelvoUsbFirmware& AImage) {
    // The bootloader target this flash is for; events that run between blocks may free it, or
    // replace it by a restarted one that must not receive the rest of this image.
    TKelvoStubTargetObject* stub = fTargetStub;
    const uint64_t generation = fTargetStubGeneration;
    auto gone = [&] { return !fTargetStub || fTargetStubGeneration != generation; };

    LogMessage("Erasing flash...");
    if (!stub->EraseFlash()) {
        LogMessage("Error erasing flash!");
        return false;
    }
    LogMessage("Writing firmware...");
    // The image goes out enciphered, as stored: the synchronisation block, then the data area.
    const TMSP430CryptedBinaryChecked& bin = *AImage.Bin();
    static_assert(sizeof bin.Main == KTargetImageSize);
    if (!stub->SetSynchro(bin.SynchroPacket)) {
        LogMessage("Error writing flash!");
        return false;
    }
    const auto* data = reinterpret_cast<const uint8_t*>(&bin.Main);
    for (uint32_t address = 0; address < KTargetImageSize;) {
        const uint32_t size =
            std::min<uint32_t>(TKelvoStubTargetObject::KBlockSize, KTargetImageSize - address);
        if (gone()) {
            TargetGoneDuringFlash();
            return false;
        }
        if (!stub->WriteFlash(uint16_t(address), data, uint16_t(size))) {
            LogMessage("Error wiring flash!");
            LogMessage("Please disconnect/connect and try again.");
            return false;
        }
        data += size;
        address += size;
        ProgressBar1.SetPosition(int(address));
        Toolkit.ProcessMessages();
    }
    LogMessage("Validating...");
    if (gone()) {
        TargetGoneDuringFlash();
        return false;
    }
    if (!stub->ValidateFlash()) {
        LogMessage("Error validating flash! Try to reconnect and update again.");
        return false;
    }
    LogMessage("Firmware updated successfully!");
    // The controller then reports the target back in normal mode with its new firmware.
    if (fTC)
        fTC->ReconnectTarget();
    return true;
}

void TForm1::TargetGoneDuringFlash() {
    LogMessage("Error: Target is suddenly disconnected!");
    LogMessage("Please disconnect/connect and try again.");
}
