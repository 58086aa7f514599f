// The window's side of a family device: its arrival and removal, the connection that reads its
// journal and either finishes an interrupted update or identifies it, the choice of its image, its
// journal and its saved parameters.
#include "app/Unit1.h"

#include "MyLib/KelvoUsbPulse.h"
#include "MyLib/KelvoUsbQV.h"
#include "MyLib/KelvoUsbSensor.h"
#include "MyLib/KelvoUsbStub.h"
#include "MyLib/KelvoUsbTarget.h"
#include "MyLib/KelvoUsbTrigger.h"
#include "MyLib/KelvoUsbWireless1.h"
#include "app/ParameterStore.h"
#include "platform/Http.h"
#include "platform/IniFile.h"

#include <algorithm>

namespace {

constexpr const char* DeviceSection = "Device";
constexpr const char* UpdateStepKey = "UpdateStep";

// The kind of device as the simulated bench names it.
const char* DeviceKind(TCommonKelvoUsbDevice* ADevice) {
    if (dynamic_cast<TKelvoSensorUsbDevice*>(ADevice))
        return "optical-sensor";
    if (dynamic_cast<TKelvoUsbQVSensor*>(ADevice))
        return "camera-sensor";
    if (dynamic_cast<TKelvoPulseUsbDevice*>(ADevice))
        return "pulse-sensor";
    if (dynamic_cast<TKelvoTriggerUsbDevice*>(ADevice))
        return "trigger";
    if (dynamic_cast<TKelvoWireless*>(ADevice))
        return "wireless-controller";
    if (dynamic_cast<TKelvoTargetUsbDevice*>(ADevice))
        return "target-controller";
    return "device";
}

} // namespace

template <class TDevice> void TForm1::ArriveAs(TDevice*& AField, const std::string& APath) {
    if (fActiveDevice)
        return;
    auto* device = new TDevice(this, APath);
    if (ConnectDevice(device))
        AField = device;
}

template <auto AField> void TForm1::ArriveIn(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    ArriveAs(this->*AField, AName);
}

template <auto AField> void TForm1::RemoveHeld(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    RemoveFrom(this->*AField, AName);
}

template <auto AField> void TForm1::CloseHeld() {
    if (this->*AField)
        (this->*AField)->Close();
}

const std::vector<TForm1::TFamily>& TForm1::Families() {
    static const std::vector<TFamily> families = {
        {&GUID_KELVO_QV, &TForm1::QVSensorArrival, &TForm1::RemoveHeld<&TForm1::fQVSensor>,
         &TForm1::CloseHeld<&TForm1::fQVSensor>},
        {&GUID_KELVO_TRIGGER, &TForm1::ArriveIn<&TForm1::fTrigger>, &TForm1::RemoveHeld<&TForm1::fTrigger>,
         &TForm1::CloseHeld<&TForm1::fTrigger>},
        {&GUID_KELVO_USB_STUB, &TForm1::StubArrival, &TForm1::StubRemoval,
         &TForm1::CloseHeld<&TForm1::fStub>},
        {&GUID_KELVO_SENSOR, &TForm1::ArriveIn<&TForm1::fSensor>, &TForm1::RemoveHeld<&TForm1::fSensor>,
         &TForm1::CloseHeld<&TForm1::fSensor>},
        {&GUID_KELVO_PULSE, &TForm1::ArriveIn<&TForm1::fPulse>, &TForm1::RemoveHeld<&TForm1::fPulse>,
         &TForm1::CloseHeld<&TForm1::fPulse>},
        {&GUID_KELVO_WIRELESS, &TForm1::WirelessArrival, &TForm1::WirelessRemoval, &TForm1::CloseWireless},
        {&GUID_KELVO_TARGET_CONTROLLER, &TForm1::TargetControllerArrival, &TForm1::TargetControllerRemoval,
         &TForm1::CloseHeld<&TForm1::fTC>},
        {&GUID_KELVO_DNXXXE, &TForm1::Ignore, &TForm1::Ignore, nullptr},
    };
    return families;
}

std::vector<const TGUID*> TForm1::RegisteredClasses() {
    std::vector<const TGUID*> classes;
    for (const TFamily& family : Families())
        classes.push_back(family.fClass);
    return classes;
}

void TForm1::QVSensorArrival(TDeviceNotifier*, const TGUID&, const std::string& AName) {
    if (fActiveDevice)
        return;
    AskToReplug = false;
    ArriveAs(fQVSensor, AName);
}

bool TForm1::ConnectDevice(TCommonKelvoUsbDevice* ADevice) {
    SetState(*ADevice, TDeviceState::Created);
    ProgressBar1.SetPosition(0);
    if (!ADevice->Open()) {
        delete ADevice;
        LogMessage("Cannot open USB device!");
        NoteUnattributedFailure({}, TFailReason::Open);
        return false;
    }
    fObserver->DeviceFound({ADevice->DevicePath(), DeviceKind(ADevice), SerialToStr(ADevice->fSerialNum),
                            ADevice->fDeviceDescriptor.idProduct, ADevice->fVersionHW, ADevice->fVersionFW,
                            ADevice->fLocked});
    fUpdateEnds.try_emplace(SerialToStr(ADevice->fSerialNum), TUpdateEnd::None);
    bool adopt = true;
    if (!ResumeJournal(ADevice, ReadUpdateStep(ADevice->fSerialNum), adopt)) {
        if (!adopt) {
            // Nothing holds a device that is not adopted; left open, its readers would run until
            // the program ends.
            ADevice->Close();
            delete ADevice;
        }
        return adopt;
    }
    IdentifyDevice(ADevice);
    return true;
}

bool TForm1::ResumeJournal(TCommonKelvoUsbDevice* ADevice, TUpdateStep AStep, bool& AAdopt) {
    const TSerialNum serial = ADevice->fSerialNum;
    switch (AStep) {
    case TUpdateStep::Idle:
        return true;
    case TUpdateStep::SwitchRequested:
    case TUpdateStep::StubArrived:
        WriteUpdateStep(serial, TUpdateStep::Idle);
        SetState(*ADevice, TDeviceState::JournalReset);
        return true;
    case TUpdateStep::FlashErased:
    case TUpdateStep::FlashWritten:
    case TUpdateStep::FlashValidated:
        return ResumeAfterFlash(ADevice, AStep, AAdopt);
    case TUpdateStep::RestoreFailed:
        LogMessage("Unable to restore device parameters.");
        LogMessage(std::string("Please contact ") + SupportEmail);
        LogMessage("or use device-specific calibration tools.");
        WriteUpdateStep(serial, TUpdateStep::Idle);
        SetState(*ADevice, TDeviceState::JournalReset);
        return true;
    }
    // A value no step has, from a damaged or foreign file: left alone, it would hide the device for
    // good, so the journal starts again and the device is handled as a new one.
    LogMessage("Unknown update step " + std::to_string(int(AStep)) + " in " + SettingsFileName(serial) +
               "; the update journal was reset.");
    WriteUpdateStep(serial, TUpdateStep::Idle);
    SetState(*ADevice, TDeviceState::JournalReset);
    return true;
}

bool TForm1::ResumeAfterFlash(TCommonKelvoUsbDevice* ADevice, TUpdateStep AStep, bool& AAdopt) {
    const TSerialNum serial = ADevice->fSerialNum;
    // The journal may be stale (a flash cut off, then the old firmware put back by other means): the
    // firmware the device runs decides whether the flash took.
    const TKelvoUsbFirmware* image =
        SelectFirmware(ADevice->fDeviceDescriptor.idProduct, ADevice->fVersionHW);
    if (image && ADevice->fVersionFW < image->VersionFW()) {
        LogMessage("The last update did not finish: the device runs firmware 0x" + Hex4(ADevice->fVersionFW) +
                   " instead of 0x" + Hex4(image->VersionFW()) + ".");
        // The parameters saved before that update are the ones to put back after the next.
        ParameterStore(serial).KeepSavedParameters();
        WriteUpdateStep(serial, TUpdateStep::Idle);
        SetState(*ADevice, TDeviceState::JournalReset);
        return true;
    }
    if (AStep != TUpdateStep::FlashValidated && !image) {
        // An unfinished flash on a device with no image to judge it by: kept, unidentified.
        AAdopt = true;
        return false;
    }
    // The device is back from a finished flash: its parameters go back, and it is not offered.
    if (RestoreParameters(ADevice)) {
        fObserver->StageBegun(DeviceSubject(serial), TUpdateStage::ParametersRestored);
        WriteUpdateStep(serial, TUpdateStep::Idle);
        LogMessage("SUCCESS! Firmware updated.");
        fUpdateEnds[SerialToStr(serial)] = TUpdateEnd::Updated;
        RecordUsbUpdated(ADevice);
        TellDeviceEnd(serial, TUpdateOutcome::Updated, TFailReason::None);
        SetState(*ADevice, TDeviceState::Identified);
    } else {
        LogMessage("Cannot restore device parameters.");
        LogMessage("Try to replug device or use device-specific calibration tools.");
        // Noted once the journal holds the failed restore, so it is not taken for an unfinished flash.
        WriteUpdateStep(serial, TUpdateStep::RestoreFailed);
        NoteFailure(serial, TFailReason::RestoreParameters, ADevice->fVersionFW);
        SetState(*ADevice, TDeviceState::JournalReset);
    }
    AAdopt = false;
    return false;
}

void TForm1::IdentifyDevice(TCommonKelvoUsbDevice* ADevice) {
    SetState(*ADevice, TDeviceState::Identified);
    ListBox1.Clear();
    LogMessage(ADevice->ModelDescription() + " " + ADevice->ModelType());
    LogMessage("Serial number: " + SerialToStr(ADevice->fSerialNum));
    const uint16_t productId = ADevice->fDeviceDescriptor.idProduct;
    LogMessage("Product id is: 0x" + Hex4(productId));
    LogMessage("Hardware version 0x" + Hex4(ADevice->fVersionHW));
    LogMessage("Firmware version 0x" + Hex4(ADevice->fVersionFW));

    TKelvoUsbFirmware* image = SelectFirmware(productId, ADevice->fVersionHW);
    if (!image)
        return;
    ADevice->GetStubVersion(nullptr);
    if (IsWin8OrLater(fWinVer) && ADevice->HasUsb30CompatibilityIssue())
        SetState(*ADevice, TDeviceState::Usb30Issue);
    btnUpdate.SetCaption("Update");
    if (ADevice->fVersionFW >= image->VersionFW()) {
        LogMessage("Firmware is up to date.");
        btnUpdate.SetEnabled(false);
        SetState(*ADevice, TDeviceState::Identified);
        TellDeviceEnd(ADevice->fSerialNum, TUpdateOutcome::Current, TFailReason::None);
    } else if (StateOf(*ADevice) == TDeviceState::Usb30Issue) {
        LogMessage("Newer firmware found but you have device that may be");
        LogMessage("NOT compatible with modern USB3.0 host drivers under Windows 8 or later");
        LogMessage("It is recommended that you use older computer with Windows 7 OS");
        LogMessage("or try virtual machine with USB2.0 emulation");
        LogMessage(std::string("If you are not sure please contact ") + SupportEmail);
        btnUpdate.SetEnabled(false);
    } else {
        LogMessage("Newer firmware found. To update click \"Update\" button");
        btnUpdate.SetEnabled(true);
        btnUpdate.SetOnClick([this] { btnUpdateClick(); });
        SetState(*ADevice, TDeviceState::UpdateOffered);
        fObserver->Offered(DeviceSubject(ADevice->fSerialNum), image->VersionFW(), IsDownloaded(image));
    }
    fActiveDevice = ADevice;
}

TKelvoUsbFirmware* TForm1::SelectFirmware(uint16_t AProductId, uint16_t AVersionHW) {
    TKelvoUsbFirmware* entry = fFirmwares ? fFirmwares->FindById(AProductId, AVersionHW) : nullptr;
    if (entry && IsRefused(*entry))
        entry = RestoreReplacedEntry(entry);
    auto downloaded = std::make_unique<TKelvoUsbFirmware>();
    // The server may hand out a file for another device; flashing that would be worse than keeping
    // the built-in image, so such a download counts as none.
    if (!downloaded->DownloadFromInternet(fFirmwareServer, AProductId, AVersionHW) ||
        downloaded->ProductID() != AProductId || downloaded->VersionHW() != AVersionHW)
        downloaded.reset();
    // A download ended by a close signal chooses nothing, so no update goes on into the erase.
    if (HttpTransfersCancelled())
        return nullptr;
    if (downloaded && IsRefused(*downloaded)) {
        LogMessage("Downloaded firmware was refused by the device; using the built-in image.");
        downloaded.reset();
    }
    if (!downloaded)
        return entry;
    if (!entry) {
        // The same image downloaded again is the one kept already.
        for (const auto& kept : fDownloads)
            if (kept->Data().CRC32 == downloaded->Data().CRC32 &&
                kept->VersionFW() == downloaded->VersionFW())
                return kept.get();
        fDownloadedImages.push_back(downloaded.get());
        fDownloads.push_back(std::move(downloaded));
        return fDownloads.back().get();
    }
    if (entry->VersionFW() < downloaded->VersionFW()) {
        fReplacedEntries.push_back(fFirmwares->ExtractFirmware(entry));
        TKelvoUsbFirmware* newer = downloaded.release();
        fDownloadedImages.push_back(newer);
        fFirmwares->AddFirmware(newer);
        return newer;
    }
    return entry;
}

bool TForm1::IsDownloaded(const TKelvoUsbFirmware* AImage) const {
    return std::find(fDownloadedImages.begin(), fDownloadedImages.end(), AImage) != fDownloadedImages.end();
}

bool TForm1::IsRefused(const TKelvoUsbFirmware& AImage) const {
    const auto id = std::make_tuple(AImage.ProductID(), AImage.VersionHW(), AImage.VersionFW(),
                                    uint32_t(AImage.Data().CRC32));
    return std::find(fRefusedImages.begin(), fRefusedImages.end(), id) != fRefusedImages.end();
}

TKelvoUsbFirmware* TForm1::RestoreReplacedEntry(TKelvoUsbFirmware* AImage) {
    fDownloads.push_back(fFirmwares->ExtractFirmware(AImage));
    for (auto it = fReplacedEntries.rbegin(); it != fReplacedEntries.rend(); ++it)
        if ((*it)->ProductID() == AImage->ProductID() && (*it)->VersionHW() == AImage->VersionHW()) {
            TKelvoUsbFirmware* entry = it->release();
            fReplacedEntries.erase(std::next(it).base());
            fFirmwares->AddFirmware(entry);
            return entry;
        }
    return nullptr;
}

TParameterStore TForm1::ParameterStore(const TSerialNum& ASerial) {
    return TParameterStore(SettingsFileName(ASerial),
                           [this](const std::string& AText) { LogMessage(AText); });
}

bool TForm1::SaveParameters(TCommonKelvoUsbDevice* ADevice) {
    return ParameterStore(ADevice->fSerialNum).SaveParameters(ADevice);
}

bool TForm1::RestoreParameters(TCommonKelvoUsbDevice* ADevice) {
    return ParameterStore(ADevice->fSerialNum).RestoreParameters(ADevice);
}

void TForm1::DisconnectDevice(TCommonKelvoUsbDevice* ADevice) {
    if (ADevice == fActiveDevice)
        fActiveDevice = nullptr;
    ADevice->Close();
    // A device switching to its bootloader leaves the log alone, so the update's lines stay.
    if (StateOf(*ADevice) != TDeviceState::SwitchingToStub)
        ListBox1.Clear();
    delete ADevice;
    btnUpdate.SetEnabled(false);
}

TUpdateStep TForm1::ReadUpdateStep(const TSerialNum& ASerial) {
    try {
        return TUpdateStep(TIniFile(SettingsFileName(ASerial)).ReadInteger(DeviceSection, UpdateStepKey, 0));
    } catch (...) {
        return TUpdateStep::Idle;
    }
}

void TForm1::WriteUpdateStep(const TSerialNum& ASerial, TUpdateStep AStep) {
    try {
        TIniFile(SettingsFileName(ASerial)).WriteInteger(DeviceSection, UpdateStepKey, int(AStep));
    } catch (...) {
        // The journal keeps its previous value; nothing is reported.
    }
}

std::string TForm1::SettingsFileName(const TSerialNum& ASerial) const {
    return fUserPath + "/" + SerialToStr(ASerial) + ".ini";
}
