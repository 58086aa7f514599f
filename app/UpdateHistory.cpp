#include "app/UpdateHistory.h"

#include "app/JsonLine.h"
#include "platform/AppendFile.h"
#include "platform/AtomicFile.h"
#include "platform/HexText.h"
#include "platform/RegularFile.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace {

// Larger files than this are not history files this program wrote.
constexpr std::size_t KReadLimitBytes = 16u << 20;

std::string HexOrDash(std::optional<uint16_t> AValue) {
    return AValue ? "0x" + Hex4(*AValue) : "-";
}

std::string DurationText(int64_t AMilliseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", double(AMilliseconds) / 1000.0);
    return text;
}

} // namespace

std::string IsoUtcTime(std::chrono::system_clock::time_point ATime) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(ATime);
    const auto day = floor<days>(seconds);
    const year_month_day date{day};
    const hh_mm_ss time{seconds - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                  int(time.minutes().count()), int(time.seconds().count()));
    return text;
}

std::string UpdateRecordJson(const TUpdateRecord& ARecord) {
    return TJsonLine()
        .AddText("event", "history")
        .AddText("time", ARecord.fTime)
        .AddText("kind", ARecord.fKind)
        .AddNumber("productId", int64_t(ARecord.fProductId))
        .AddNumber("hardwareVersion", int64_t(ARecord.fVersionHW))
        .AddText("serial", ARecord.fSerial)
        .AddNumber("firmwareBefore", ARecord.fFirmwareBefore)
        .AddNumber("firmwareAfter", ARecord.fFirmwareAfter)
        .AddText("source", ARecord.fSource)
        .AddText("outcome", ARecord.fOutcome)
        .AddNumber("resumes", int64_t(ARecord.fResumes))
        .AddNumber("durationMs", ARecord.fDurationMs)
        .Text();
}

std::optional<TUpdateRecord> ParseUpdateRecord(const std::string& ALine) {
    const auto members = ParseJsonLine(ALine);
    if (!members)
        return std::nullopt;
    using TKind = TJsonValue::TKind;
    auto find = [&](const char* AName, TKind AKind) -> const TJsonValue* {
        const auto it = members->find(AName);
        return it != members->end() && it->second.fKind == AKind ? &it->second : nullptr;
    };
    auto text = [&](const char* AName, std::string& AOut) {
        const TJsonValue* value = find(AName, TKind::Text);
        if (value)
            AOut = value->fText;
        return value != nullptr;
    };
    auto number = [&](const char* AName, int64_t AMin, int64_t AMax, int64_t& AOut) {
        const TJsonValue* value = find(AName, TKind::Number);
        if (!value || value->fNumber < AMin || value->fNumber > AMax)
            return false;
        AOut = value->fNumber;
        return true;
    };
    // A version is a number or null; anything else makes the record unreadable.
    auto version = [&](const char* AName, std::optional<uint16_t>& AOut) {
        if (find(AName, TKind::Null))
            return true;
        int64_t value = 0;
        if (!number(AName, 0, 0xFFFF, value))
            return false;
        AOut = uint16_t(value);
        return true;
    };
    TUpdateRecord record;
    std::string event;
    int64_t productId = 0;
    int64_t versionHW = 0;
    int64_t resumes = 0;
    if (!text("event", event) || event != "history" || !text("time", record.fTime) ||
        !text("kind", record.fKind) || !number("productId", 0, 0xFFFF, productId) ||
        !number("hardwareVersion", 0, 0xFFFF, versionHW) || !text("serial", record.fSerial) ||
        !version("firmwareBefore", record.fFirmwareBefore) ||
        !version("firmwareAfter", record.fFirmwareAfter) || !text("source", record.fSource) ||
        !text("outcome", record.fOutcome) || !number("resumes", 0, 1 << 30, resumes) ||
        !number("durationMs", 0, std::numeric_limits<int64_t>::max(), record.fDurationMs))
        return std::nullopt;
    record.fProductId = uint16_t(productId);
    record.fVersionHW = uint16_t(versionHW);
    record.fResumes = int(resumes);
    return record;
}

std::string UpdateHistoryText(const std::vector<TUpdateRecord>& ARecords) {
    if (ARecords.empty())
        return "no updates recorded\n";
    std::vector<std::vector<std::string>> rows = {{"time", "kind", "serial", "product", "hardware", "before",
                                                   "after", "source", "outcome", "resumed", "took"}};
    for (const TUpdateRecord& r : ARecords)
        rows.push_back({r.fTime, r.fKind, r.fSerial, "0x" + Hex4(r.fProductId), "0x" + Hex4(r.fVersionHW),
                        HexOrDash(r.fFirmwareBefore), HexOrDash(r.fFirmwareAfter),
                        r.fSource.empty() ? "-" : r.fSource, r.fOutcome, std::to_string(r.fResumes),
                        DurationText(r.fDurationMs)});
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c)
            line += row[c] + (c + 1 < row.size() ? std::string(widths[c] - row[c].size() + 2, ' ') : "");
        text += line + "\n";
    }
    return text;
}

TUpdateHistory::TUpdateHistory(std::string AFileName, std::size_t AMaxBytes)
    : fFileName(std::move(AFileName)), fMaxBytes(AMaxBytes) {}

void TUpdateHistory::Append(const TUpdateRecord& ARecord) const {
    const std::string line = UpdateRecordJson(ARecord) + "\n";
    const std::string old = ReadRegularFile(fFileName, KReadLimitBytes).value_or("");
    if (old.size() + line.size() <= fMaxBytes) {
        // A line torn by a power loss keeps no line end: the record starts a line of its own, or it
        // would be read as part of the torn one and lost with it.
        AppendToFile(fFileName, !old.empty() && old.back() != '\n' ? "\n" + line : line);
        return;
    }
    // The newest whole lines that leave room for the record within three quarters of the limit.
    const std::size_t room = fMaxBytes / 4 * 3 > line.size() ? fMaxBytes / 4 * 3 - line.size() : 0;
    std::size_t keepFrom = old.size();
    while (keepFrom > 0) {
        // The line that ends just before keepFrom starts after the line end before its own.
        const std::size_t previous = keepFrom >= 2 ? old.rfind('\n', keepFrom - 2) : std::string::npos;
        const std::size_t begin = previous == std::string::npos ? 0 : previous + 1;
        if (old.size() - begin > room)
            break;
        keepFrom = begin;
    }
    std::string kept = old.substr(keepFrom);
    if (!kept.empty() && kept.back() != '\n')
        kept += '\n';
    ReplaceFileContents(fFileName, kept + line);
}

std::vector<TUpdateRecord> TUpdateHistory::Read(std::vector<std::string>& AWarnings) const {
    std::vector<TUpdateRecord> records;
    const std::string data = ReadRegularFile(fFileName, KReadLimitBytes).value_or("");
    std::size_t number = 0;
    for (std::size_t begin = 0; begin < data.size();) {
        const std::size_t end = std::min(data.find('\n', begin), data.size());
        const std::string line = data.substr(begin, end - begin);
        ++number;
        // Only the last line can lack its line end: a record cut off as it was written.
        const bool torn = end == data.size();
        begin = end + 1;
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        if (auto record = ParseUpdateRecord(line)) {
            records.push_back(std::move(*record));
            continue;
        }
        AWarnings.push_back(fFileName + " line " + std::to_string(number) + ": " +
                            (torn ? "torn record" : "damaged record") + " skipped");
    }
    return records;
}
