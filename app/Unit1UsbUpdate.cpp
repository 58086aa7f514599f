// The update of a USB family device through its bootloader: the Update click that saves the
// device's parameters and switches it into the bootloader, the bootloader's arrival and removal, and
// the write sequence the timer runs (erase, synchronisation block, image blocks, validation).
#include "app/Unit1.h"

#include "MyLib/KelvoUsbStub.h"

#include <algorithm>
#include <strings.h>

void TForm1::StartUsbUpdate(TCommonKelvoUsbDevice* ADevice) {
    if (ADevice->fLocked && ADevice->fVersionFW > 2) {
        const auto text = Toolkit.InputBox("Device is locked", "Please enter device key to unlock:", "");
        if (text) {
            TDeviceKey key{};
            StrToSerial(*text, key);
            if (KeyValid(key) && !ADevice->Unlock(key)) {
                Toolkit.ShowMessage("Invalid device key or error unlocking device");
                ++fFailures;
                return;
            }
        }
    }
    AskToReplug = false;
    if (!SaveParameters(ADevice)) {
        LogMessage("Error: cannot save device parameters!");
        ++fFailures;
        return;
    }
    const TSerialNum serial = ADevice->fSerialNum;
    AskToReplug = ADevice->NeedToReplugAfterErase();
    if (ADevice->NeedToConfirmSwitchToStub()) {
        if (!ADevice->SwitchToStub()) {
            AskToReplug = false;
            LogMessage(ADevice->SwitchToStubError());
            ++fFailures;
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
    TStubHardwareInfo info{};
    if (!fStub->GetHardwareInfo(info)) {
        LogMessage("Error: cannot read STUB hardware info!");
        ++fFailures;
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
    fUpdateUnderWay = true;
    if (!WriteFirmware())
        ++fFailures;
    fUpdateUnderWay = false;
}

bool TForm1::WriteFirmware() {
    TSerialNum serial;
    if (!fStub || !fStub->GetSerialNum(&serial))
        return false;
    TKelvoUsbFirmware* image = SelectFirmware(fStub->fHWInfo.idProduct, fStub->fHWInfo.VersionHW);
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
    WriteUpdateStep(serial, TUpdateStep::FlashErased);
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
    WriteUpdateStep(serial, TUpdateStep::FlashWritten);
    LogMessage("Validating flash...");
    if (!fStub->ValidateFlash()) {
        LogMessage("Error! Try to replug usb device.");
        return false;
    }
    LogMessage("Leaving programming mode.");
    LogMessage("If process does not respond please unplug and replug device.");
    WriteUpdateStep(serial, TUpdateStep::FlashValidated);
    fStub->ReconnectUsb();
    return true;
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
            LogMessage("Error writing flash!");
            return false;
        }
        data += size;
        address += size;
        ProgressBar1.SetPosition(int(address));
        Toolkit.ProcessMessages();
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