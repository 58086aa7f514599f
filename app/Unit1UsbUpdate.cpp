// The update of a USB family device through its bootloader: the Update click that saves the
// device's parameters and switches it into the bootloader, the bootloader's arrival and removal, and
// the write sequence the timer runs (erase, synchronisation block, image blocks, validation).
#include "app/Unit1.h"

#include "MyLib/KelvoUsbStub.h"

#include "platform/Http.h"

#include <algorithm>
#include <strings.h>

namespace {

constexpr const char* InterruptedText = "Update interrupted; replug the device and run the updater again.";

} // namespace

void TForm1::StartUsbUpdate(TCommonKelvoUsbDevice* ADevice) {
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
                NoteFailure(ADevice->fSerialNum);
                return;
            }
        }
    }
    AskToReplug = false;
    if (!SaveParameters(ADevice)) {
        LogMessage("Error: cannot save device parameters!");
        NoteFailure(ADevice->fSerialNum);
        return;
    }
    const TSerialNum serial = ADevice->fSerialNum;
    AskToReplug = ADevice->NeedToReplugAfterErase();
    if (ADevice->NeedToConfirmSwitchToStub()) {
        if (!ADevice->SwitchToStub()) {
            AskToReplug = false;
            LogMessage(ADevice->SwitchToStubError());
            NoteFailure(serial);
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
        ++fFailures;
        delete fStub;
        fStub = nullptr;
        return;
    }
    TSerialNum serial;
    if (!fStub->GetSerialNum(&serial)) {
        LogMessage("Error: cannot get STUB serial number! Try to replug device");
        ++fFailures;
        return;
    }
    LogMessage("Stub plugged in, serial number is " + SerialToStr(serial));
    fUpdateEnds.try_emplace(SerialToStr(serial), TUpdateEnd::None);
    TStubHardwareInfo info{};
    if (!fStub->GetHardwareInfo(info)) {
        LogMessage("Error: cannot read STUB hardware info!");
        NoteFailure(serial);
        return;
    }
    WriteUpdateStep(serial, TUpdateStep::StubArrived);
    Timer1.SetOnTimer([this] { Timer1Timer(); });
    Timer1.SetInterval(200);
    Timer1.SetEnabled(true);
}

void TForm1::StubRemoval(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    if (!fStub || strcasecmp(fStub->DevicePath().c_str(), AName.c_str()) != 0)
        return;
    fStub->Close();
    delete fStub;
    fStub = nullptr;
}

void TForm1::Timer1Timer() {
    Timer1.SetEnabled(false);
    TSerialNum serial;
    if (!fStub || !fStub->GetSerialNum(&serial)) {
        ++fFailures;
        return;
    }
    fUpdateUnderWay = true;
    if (!WriteFirmware(serial))
        NoteFailure(serial);
    fUpdateUnderWay = false;
}

bool TForm1::WriteFirmware(const TSerialNum& ASerial) {
    TKelvoUsbFirmware* image = SelectFirmware(fStub->fHWInfo.idProduct, fStub->fHWInfo.VersionHW);
    // Closed during the download: nothing is erased, and the journal keeps StubArrived so the next
    // run starts the write sequence again.
    if (CloseRequested()) {
        LogMessage(InterruptedText);
        return false;
    }
    if (!image) {
        LogMessage("Error: cannot load firmware from resource!");
        return false;
    }
    LogMessage("Erasing flash...");
    ListBox1.Repaint();
    if (!fStub->EraseFlash()) {
        LogMessage("Error erasing flash!");
        return false;
    }
    WriteUpdateStep(ASerial, TUpdateStep::FlashErased);
    LogMessage("Flash erased.");
    if (AskToReplug) {
        AskToReplug = false;
        LogMessage("Please replug device to continue.");
        // Not a failure: the replugged bootloader goes on from here.
        return true;
    }
    LogMessage("Writing firmware...");
    ListBox1.Repaint();
    try {
        if (!WriteBlocks(*image))
            return false;
    } catch (...) {
        // The journal still says FlashErased: the next arrival of the bootloader starts again from the erase.
        return false;
    }
    WriteUpdateStep(ASerial, TUpdateStep::FlashWritten);
    LogMessage("Validating flash...");
    if (!fStub->ValidateFlash()) {
        LogMessage("Error! Try to replug usb device.");
        // A downloaded image the device would not take (enciphered for other devices, say) is
        // not offered to it again; the retry falls back to the built-in image.
        if (IsDownloaded(image))
            fRefusedImages.emplace_back(image->ProductID(), image->VersionHW(), image->VersionFW(),
                                        uint32_t(image->Data().CRC32));
        return false;
    }
    LogMessage("Leaving programming mode.");
    LogMessage("If process does not respond please unplug and replug device.");
    WriteUpdateStep(ASerial, TUpdateStep::FlashValidated);
    fStub->ReconnectUsb();
    return true;
}

bool TForm1::CloseRequested() const {
    return fClosing || HttpTransfersCancelled();
}

bool TForm1::WriteBlocks(const TKelvoUsbFirmware& AImage) {
    // The image goes out enciphered, as stored: the synchronisation block, then the main memory.
    const TMSP430CryptedBinaryChecked& bin = *AImage.Bin();
    constexpr uint32_t ImageSize = sizeof bin.Main;
    static_assert(ImageSize == 0xDF00);
    if (!fStub->SetSynchro(bin.SynchroPacket)) {
        LogMessage("Error: Set synchro failed!");
        return false;
    }
    const uint32_t block = fStub->RecommendedDataBlockSize();
    ProgressBar1.SetMin(0);
    ProgressBar1.SetMax(ImageSize);
    ProgressBar1.SetPosition(0);
    const auto* data = reinterpret_cast<const uint8_t*>(&bin.Main);
    const uint64_t generation = fStubGeneration;
    for (uint32_t address = 0; address < ImageSize;) {
        const uint32_t size = std::min(block, ImageSize - address);
        if (!fStub->WriteFlash(uint16_t(address), data, uint16_t(size))) {
            LogMessage(CloseRequested() ? InterruptedText : "Error writing flash!");
            return false;
        }
        data += size;
        address += size;
        ProgressBar1.SetPosition(int(address));
        Toolkit.ProcessMessages();
        // A close (the window's, or a signal's) ran meanwhile: the journal keeps FlashErased and
        // the next run writes the image again.
        if (CloseRequested()) {
            LogMessage(InterruptedText);
            return false;
        }
        // The removal handler may have freed the bootloader meanwhile, and another one may have
        // taken its place; neither may receive the rest of this image.
        if (!fStub || fStubGeneration != generation) {
            LogMessage("Device disconnected.");
            return false;
        }
    }
    LogMessage("Flash successfully written.");
    ProgressBar1.SetPosition(ProgressBar1.Max());
    return true;
}