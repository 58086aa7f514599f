#include "app/FirmwareCheck.h"

#include "MyLib/KelvoDeviceClasses.h"
#include "MyLib/KelvoUsbStub.h"
#include "MyLib/KelvoUsbTarget.h"
#include "MyLib/KelvoUsbWireless1.h"
#include "app/JsonLine.h"
#include "app/Unit1.h"
#include "platform/CommandArgs.h"
#include "platform/System.h"

#include <algorithm>

namespace {

std::optional<uint16_t> FirmwareOf(uint16_t AVersion) {
    return AVersion == KTargetNoFirmware ? std::nullopt : std::optional<uint16_t>(AVersion);
}

// The image AForm would write and how the running firmware compares with it. A bootloader is
// flashed whatever it holds, so it always has an update to take when there is an image.
void Judge(TForm1& AForm, TCheckedDevice& ADevice) {
    const TKelvoUsbFirmware* image = AForm.SelectFirmware(ADevice.fProductId, ADevice.fVersionHW);
    if (!image || !image->Valid()) {
        ADevice.fStatus = TCheckStatus::NoFirmware;
        return;
    }
    ADevice.fImageFW = image->VersionFW();
    ADevice.fSource = AForm.ImageSource(*image);
    const bool older =
        ADevice.fInBootloader || !ADevice.fVersionFW || *ADevice.fVersionFW < image->VersionFW();
    ADevice.fStatus = older ? TCheckStatus::UpdateAvailable : TCheckStatus::Current;
}

TCheckedDevice TargetEntry(const TKelvoTargetObject& ATarget, const std::string& AController,
                           bool AInBootloader) {
    TCheckedDevice target;
    target.fKind = ATarget.fModelDescription.empty() ? "target" : ATarget.fModelDescription;
    target.fSerial = SerialToStr(ATarget.fSerial);
    target.fController = AController;
    target.fProductId = ATarget.fProductId;
    target.fVersionHW = ATarget.fHWVersion;
    target.fVersionFW = FirmwareOf(ATarget.fFWVersion);
    target.fInBootloader = AInBootloader;
    return target;
}

// The targets behind a controller just opened (both kinds make their target objects as they open).
std::vector<TCheckedDevice> TargetsOf(TCommonKelvoUsbDevice& AController) {
    const std::string controller = SerialToStr(AController.fSerialNum);
    std::vector<TCheckedDevice> targets;
    if (auto* tc = dynamic_cast<TKelvoTargetUsbDevice*>(&AController)) {
        if (tc->Frame())
            targets.push_back(TargetEntry(*tc->Frame(), controller, false));
        if (tc->Stub())
            targets.push_back(TargetEntry(*tc->Stub(), controller, true));
    } else if (auto* wl = dynamic_cast<TKelvoWireless*>(&AController)) {
        for (int i = 1; i <= wl->NumTargets(); ++i)
            if (const TCustom485Target* target = wl->Targets(i))
                targets.push_back(TargetEntry(*target, controller, target->InBootloader()));
    }
    return targets;
}

std::unique_ptr<TCommonKelvoUsbDevice> CreateDevice(const TGUID& AClass, const std::string& APath) {
    if (AClass == GUID_KELVO_WIRELESS)
        return std::make_unique<TKelvoWireless>(nullptr, APath);
    return CreateKelvoDevice(AClass, nullptr, APath);
}

// One device at APath: identified, judged, and followed by its targets.
void CheckDevice(TForm1& AForm, const TGUID& AClass, const std::string& APath,
                 std::vector<TCheckedDevice>& AOut) {
    auto device = CreateDevice(AClass, APath);
    if (!device)
        return;
    TCheckedDevice entry;
    entry.fPath = APath;
    if (!device->Open()) {
        entry.fKind = AClass == GUID_KELVO_USB_STUB ? "bootloader" : device->ModelDescription();
        entry.fStatus = TCheckStatus::CannotOpen;
        AOut.push_back(entry);
        return;
    }
    TSerialNum serial = device->fSerialNum;
    if (auto* stub = dynamic_cast<TKelvoStubUSBDevice*>(device.get())) {
        TStubHardwareInfo info{};
        entry.fKind = "bootloader";
        entry.fInBootloader = true;
        if (!stub->GetSerialNum(&serial) || !stub->GetHardwareInfo(info)) {
            entry.fSerial = "";
            entry.fStatus = TCheckStatus::CannotOpen;
            AOut.push_back(entry);
            device->Close();
            return;
        }
        entry.fProductId = stub->fHWInfo.idProduct;
        entry.fVersionHW = stub->fHWInfo.VersionHW;
        // 0: the bootloader did not say.
        if (stub->fFirmwareVersion != 0)
            entry.fVersionFW = FirmwareOf(stub->fFirmwareVersion);
    } else {
        entry.fKind = device->ModelDescription();
        entry.fProductId = device->fDeviceDescriptor.idProduct;
        entry.fVersionHW = device->fVersionHW;
        entry.fVersionFW = device->fVersionFW;
    }
    entry.fSerial = SerialToStr(serial);
    entry.fUnfinished = JournalMidUpdate(AForm.ReadUpdateStep(serial));
    Judge(AForm, entry);
    AOut.push_back(entry);
    for (TCheckedDevice& target : TargetsOf(*device)) {
        Judge(AForm, target);
        AOut.push_back(target);
    }
    device->Close();
}

std::string Hex(std::optional<uint16_t> AValue) {
    return AValue ? "0x" + Hex4(*AValue) : "none";
}

const char* StatusName(TCheckStatus AStatus) {
    switch (AStatus) {
    case TCheckStatus::Current:
        return "current";
    case TCheckStatus::UpdateAvailable:
        return "update";
    case TCheckStatus::NoFirmware:
        return "no-firmware";
    case TCheckStatus::CannotOpen:
        break;
    }
    return "cannot-open";
}

} // namespace

std::vector<TCheckedDevice> CheckDevices(TForm1& AForm) {
    std::vector<TCheckedDevice> devices;
    for (const TGUID* cls : TForm1::RegisteredClasses()) {
        std::vector<TUsbInterfaceEntry> members;
        if (UsbBus().GetClassDevs(*cls, members) != 0)
            continue;
        for (const TUsbInterfaceEntry& member : members)
            if (member.DetailError == 0)
                CheckDevice(AForm, *cls, member.Path, devices);
    }
    return devices;
}

std::string CheckText(const std::vector<TCheckedDevice>& ADevices) {
    if (ADevices.empty())
        return "no devices found\n";
    std::string text;
    for (const TCheckedDevice& d : ADevices) {
        std::string line = (d.fController.empty() ? "" : "  ") + d.fKind;
        if (d.fStatus == TCheckStatus::CannotOpen) {
            text += line + " " + d.fPath + ": cannot open the device\n";
            continue;
        }
        line += " " + d.fSerial + " (product 0x" + Hex4(d.fProductId) + ", hardware 0x" + Hex4(d.fVersionHW) +
                "): firmware " + Hex(d.fVersionFW);
        if (d.fStatus == TCheckStatus::UpdateAvailable)
            line += " -> " + Hex(d.fImageFW) + " (" + d.fSource + ")";
        else if (d.fStatus == TCheckStatus::Current)
            line += ", current";
        else
            line += ", no firmware for this device";
        if (d.fUnfinished)
            line += "; an update is unfinished";
        text += line + "\n";
    }
    return text;
}

std::string CheckJson(const std::vector<TCheckedDevice>& ADevices) {
    std::string json;
    for (const TCheckedDevice& d : ADevices)
        json += TJsonLine()
                    .AddText("event", "check")
                    .AddText("kind", d.fKind)
                    .AddText("serial", d.fSerial)
                    .AddText("controller", d.fController)
                    .AddText("path", d.fPath)
                    .AddNumber("productId", int64_t(d.fProductId))
                    .AddNumber("hardwareVersion", int64_t(d.fVersionHW))
                    .AddNumber("firmwareVersion", d.fVersionFW)
                    .AddBool("bootloader", d.fInBootloader)
                    .AddText("status", StatusName(d.fStatus))
                    .AddNumber("imageVersion", d.fImageFW)
                    .AddText("source", d.fSource)
                    .AddBool("unfinished", d.fUnfinished)
                    .Text() +
                "\n";
    return json;
}

int CheckExitStatus(const std::vector<TCheckedDevice>& ADevices) {
    auto any = [&](TCheckStatus AStatus) {
        return std::any_of(ADevices.begin(), ADevices.end(),
                           [&](const TCheckedDevice& d) { return d.fStatus == AStatus; });
    };
    if (any(TCheckStatus::CannotOpen))
        return KExitFailure;
    return any(TCheckStatus::UpdateAvailable) ? KExitUpdatesAvailable : KExitSuccess;
}
