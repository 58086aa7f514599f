// The window's update history: what is known of each update under way, and the record written when
// it ends (UpdateHistory.h). A USB device's update is described in its settings file beside the
// journal; a target's in memory.
#include "app/Unit1.h"

#include "MyLib/CommonKelvoDevice.h"
#include "MyLib/CommonKelvoUsbDevice.h"
#include "MyLib/KelvoUsbStub.h"
#include "app/JsonLine.h"
#include "app/UpdateHistory.h"
#include "platform/IniFile.h"

#include <algorithm>
#include <chrono>

namespace {

constexpr const char* DeviceSection = "Device";
constexpr const char* HistoryKey = "UpdateHistory";

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<uint16_t> Version(const std::map<std::string, TJsonValue>& AMembers, const char* AName) {
    const auto it = AMembers.find(AName);
    if (it == AMembers.end() || it->second.fKind != TJsonValue::TKind::Number || it->second.fNumber < 0 ||
        it->second.fNumber > 0xFFFF)
        return std::nullopt;
    return uint16_t(it->second.fNumber);
}

} // namespace

std::string TForm1::HistoryFileName() const {
    return fUserPath + "/" + UpdateHistoryFileName;
}

std::optional<TForm1::THistoryEntry> TForm1::ReadUsbHistory(const TSerialNum& ASerial) {
    std::string text;
    try {
        text = TIniFile(SettingsFileName(ASerial)).ReadString(DeviceSection, HistoryKey, "");
    } catch (...) {
        return std::nullopt;
    }
    const auto members = ParseJsonLine(text);
    if (!members)
        return std::nullopt;
    THistoryEntry entry;
    auto textOf = [&](const char* AName) {
        const auto it = members->find(AName);
        return it != members->end() && it->second.fKind == TJsonValue::TKind::Text ? it->second.fText
                                                                                   : std::string();
    };
    auto number = [&](const char* AName) {
        const auto it = members->find(AName);
        return it != members->end() && it->second.fKind == TJsonValue::TKind::Number ? it->second.fNumber : 0;
    };
    entry.fKind = textOf("kind");
    entry.fProductId = Version(*members, "productId").value_or(0);
    entry.fVersionHW = Version(*members, "hardwareVersion").value_or(0);
    entry.fFirmwareBefore = Version(*members, "firmwareBefore");
    entry.fSource = textOf("source");
    entry.fImageFW = Version(*members, "image");
    entry.fResumes = int(std::clamp<int64_t>(number("resumes"), 0, 1 << 30));
    entry.fStartedMs = number("startedMs");
    return entry;
}

void TForm1::WriteUsbHistory(const TSerialNum& ASerial, const std::optional<THistoryEntry>& AEntry) {
    try {
        TIniFile file(SettingsFileName(ASerial));
        if (!AEntry) {
            if (file.ValueExists(DeviceSection, HistoryKey))
                file.DeleteKey(DeviceSection, HistoryKey);
            return;
        }
        file.WriteString(DeviceSection, HistoryKey,
                         TJsonLine()
                             .AddText("kind", AEntry->fKind)
                             .AddNumber("productId", int64_t(AEntry->fProductId))
                             .AddNumber("hardwareVersion", int64_t(AEntry->fVersionHW))
                             .AddNumber("firmwareBefore", AEntry->fFirmwareBefore)
                             .AddText("source", AEntry->fSource)
                             .AddNumber("image", AEntry->fImageFW)
                             .AddNumber("resumes", int64_t(AEntry->fResumes))
                             .AddNumber("startedMs", AEntry->fStartedMs)
                             .Text());
    } catch (const std::exception& e) {
        fHistoryError = e.what();
    }
}

void TForm1::BeginUsbHistory(TCommonKelvoUsbDevice* ADevice) {
    THistoryEntry entry;
    entry.fKind = ADevice->ModelDescription();
    entry.fProductId = ADevice->fDeviceDescriptor.idProduct;
    entry.fVersionHW = ADevice->fVersionHW;
    entry.fFirmwareBefore = ADevice->fVersionFW;
    entry.fStartedMs = NowMs();
    WriteUsbHistory(ADevice->fSerialNum, entry);
    fHistoryLive.insert(SerialToStr(ADevice->fSerialNum));
    fReplugAsked.erase(SerialToStr(ADevice->fSerialNum));
}

void TForm1::TakeUpUsbHistory(const TSerialNum& ASerial, TUpdateStep AStep, uint16_t AProductId,
                              uint16_t AVersionHW) {
    const std::string serial = SerialToStr(ASerial);
    std::optional<THistoryEntry> entry = JournalMidUpdate(AStep) ? ReadUsbHistory(ASerial) : std::nullopt;
    if (!entry) {
        // A bootloader with no update under way in its journal: nothing is known of what it ran.
        entry.emplace();
        entry->fKind = "bootloader";
        entry->fProductId = AProductId;
        entry->fVersionHW = AVersionHW;
        // What its flash holds, when it says (0: it does not; KTargetNoFirmware: no firmware).
        if (fStub && fStub->fFirmwareVersion != 0 && fStub->fFirmwareVersion != KTargetNoFirmware)
            entry->fFirmwareBefore = fStub->fFirmwareVersion;
        entry->fStartedMs = NowMs();
    } else {
        // The bootloader the switch in this run led to, or one replugged as asked, carries the
        // update on; any other takes it up again after a break.
        const bool carriedOn = fHistoryLive.count(serial) &&
                               (AStep == TUpdateStep::SwitchRequested || fReplugAsked.count(serial));
        if (!carriedOn)
            ++entry->fResumes;
    }
    fReplugAsked.erase(serial);
    fHistoryLive.insert(serial);
    WriteUsbHistory(ASerial, entry);
}

void TForm1::NoteTargetHistoryImage(const std::string& ASerial, const TKelvoUsbFirmware& AImage) {
    if (const auto it = fTargetHistory.find(ASerial); it != fTargetHistory.end()) {
        it->second.fSource = ImageSource(AImage);
        it->second.fImageFW = AImage.VersionFW();
    }
}

void TForm1::NoteUsbHistoryImage(const TSerialNum& ASerial, const TKelvoUsbFirmware& AImage) {
    const std::string source = ImageSource(AImage);
    auto entry = ReadUsbHistory(ASerial);
    if (!entry || (entry->fSource == source && entry->fImageFW == AImage.VersionFW()))
        return;
    entry->fSource = source;
    entry->fImageFW = AImage.VersionFW();
    WriteUsbHistory(ASerial, entry);
}

void TForm1::RecordUsbUpdated(TCommonKelvoUsbDevice* ADevice) {
    const std::string serial = SerialToStr(ADevice->fSerialNum);
    THistoryEntry entry = ReadUsbHistory(ADevice->fSerialNum).value_or(THistoryEntry{});
    if (entry.fKind.empty() || entry.fKind == "bootloader")
        entry.fKind = ADevice->ModelDescription();
    if (entry.fStartedMs == 0)
        entry.fStartedMs = NowMs();
    // Back in a run that did not carry the update on: this run took it up from the journal.
    if (!fHistoryLive.count(serial))
        ++entry.fResumes;
    entry.fProductId = ADevice->fDeviceDescriptor.idProduct;
    entry.fVersionHW = ADevice->fVersionHW;
    AppendHistory(serial, entry, "updated", ADevice->fVersionFW);
    fHistoryLive.erase(serial);
    WriteUsbHistory(ADevice->fSerialNum, std::nullopt);
}

void TForm1::RecordUsbEnd(const TSerialNum& ASerial, std::optional<uint16_t> AFirmwareAfter) {
    const std::string serial = SerialToStr(ASerial);
    const bool unfinished = JournalMidUpdate(ReadUpdateStep(ASerial));
    THistoryEntry entry = ReadUsbHistory(ASerial).value_or(THistoryEntry{});
    if (entry.fKind.empty()) {
        entry.fKind = "bootloader";
        entry.fStartedMs = NowMs();
    }
    AppendHistory(serial, entry, unfinished ? "unfinished" : "failed", AFirmwareAfter);
    // The next arrival that takes an unfinished update up is a resume.
    fHistoryLive.erase(serial);
    if (!unfinished)
        WriteUsbHistory(ASerial, std::nullopt);
}

void TForm1::RecordUnfinishedAtClose() {
    for (const std::string& serial : std::set<std::string>(fHistoryLive)) {
        TSerialNum number{};
        StrToSerial(serial, number);
        if (JournalMidUpdate(ReadUpdateStep(number)))
            RecordUsbEnd(number, std::nullopt);
    }
    fHistoryLive.clear();
}

void TForm1::BeginTargetHistory(const TKelvoTargetObject& ATarget) {
    THistoryEntry entry;
    entry.fKind = ATarget.fModelDescription.empty() ? "target" : ATarget.fModelDescription;
    entry.fProductId = ATarget.fProductId;
    entry.fVersionHW = ATarget.fHWVersion;
    entry.fFirmwareBefore = ATarget.fFWVersion;
    entry.fStartedMs = NowMs();
    fTargetHistory[SerialToStr(ATarget.fSerial)] = entry;
}

void TForm1::TakeUpTargetHistory(const TKelvoTargetObject& ATarget) {
    const auto it = fTargetHistory.find(SerialToStr(ATarget.fSerial));
    if (it == fTargetHistory.end()) {
        // Found in its bootloader with no update of this run to carry on.
        BeginTargetHistory(ATarget);
        THistoryEntry& entry = fTargetHistory[SerialToStr(ATarget.fSerial)];
        if (ATarget.fFWVersion == KTargetNoFirmware)
            entry.fFirmwareBefore.reset();
        return;
    }
    if (!it->second.fLive)
        ++it->second.fResumes;
    it->second.fLive = true;
}

void TForm1::RecordTargetEnd(const std::string& ASerial, TUpdateEnd AEnd) {
    const auto it = fTargetHistory.find(ASerial);
    if (it == fTargetHistory.end())
        return;
    const bool updated = AEnd == TUpdateEnd::Updated;
    AppendHistory(ASerial, it->second,
                  updated                          ? "updated"
                  : AEnd == TUpdateEnd::Unfinished ? "unfinished"
                                                   : "failed",
                  updated ? it->second.fImageFW : std::nullopt);
    // A target left unfinished is flashed again when it comes back: that is a resume.
    if (AEnd == TUpdateEnd::Unfinished)
        it->second.fLive = false;
    else
        fTargetHistory.erase(it);
}

void TForm1::AppendHistory(const std::string& ASerial, const THistoryEntry& AEntry, const char* AOutcome,
                           std::optional<uint16_t> AFirmwareAfter) {
    const int64_t now = NowMs();
    TUpdateRecord record;
    record.fTime = IsoUtcTime(std::chrono::system_clock::time_point(std::chrono::milliseconds(now)));
    record.fKind = AEntry.fKind;
    record.fProductId = AEntry.fProductId;
    record.fVersionHW = AEntry.fVersionHW;
    record.fSerial = ASerial;
    record.fFirmwareBefore = AEntry.fFirmwareBefore;
    record.fFirmwareAfter = AFirmwareAfter;
    record.fSource = AEntry.fSource;
    record.fOutcome = AOutcome;
    record.fResumes = AEntry.fResumes;
    // A clock set back meanwhile gives no negative duration.
    record.fDurationMs = std::max<int64_t>(0, now - AEntry.fStartedMs);
    try {
        TUpdateHistory(HistoryFileName()).Append(record);
    } catch (const std::exception& e) {
        fHistoryError = e.what();
    }
}
