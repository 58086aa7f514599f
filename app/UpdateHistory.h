#pragma once
// The history of updates: one record each time an update ends (the device or target updated, the
// update failed, or it was left unfinished for a later resume), one JSON object per line in a file
// in the user folder. Each record is appended with one write and flushed to disk, so a power loss
// tears at most the record being written; reading skips a torn or damaged line with a warning. The
// file is bounded: once a record would take it past its limit, the oldest records go, the file being
// replaced whole (temporary file and rename) so that a crash leaves either the old or the new one.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

inline constexpr const char* UpdateHistoryFileName = "history.jsonl";

struct TUpdateRecord {
    // UTC, ISO 8601 to the second: 2026-12-11T08:05:09Z.
    std::string fTime;
    // The device's model description, or what is known of it ("bootloader" for a device found in its
    // bootloader with nothing known of the update that put it there).
    std::string fKind;
    uint16_t fProductId = 0;
    uint16_t fVersionHW = 0;
    std::string fSerial;
    // The firmware before the update and the one running after it; none when not known (a device found
    // in its bootloader, an update that did not end updated).
    std::optional<uint16_t> fFirmwareBefore;
    std::optional<uint16_t> fFirmwareAfter;
    // "built-in" or "downloaded"; "" when no image was chosen.
    std::string fSource;
    // "updated", "failed" or "unfinished".
    std::string fOutcome;
    // How often the update was taken up again after an interruption.
    int fResumes = 0;
    int64_t fDurationMs = 0;
};
using PUpdateRecord = TUpdateRecord*;

// ATime as fTime writes it.
std::string IsoUtcTime(std::chrono::system_clock::time_point ATime);

// One record as its line without the line end: {"event":"history","time":..., "kind", "productId",
// "hardwareVersion", "serial", "firmwareBefore", "firmwareAfter" (numbers or null), "source",
// "outcome", "resumes", "durationMs"}.
std::string UpdateRecordJson(const TUpdateRecord& ARecord);
// The record on ALine; none when the line is not a whole record.
std::optional<TUpdateRecord> ParseUpdateRecord(const std::string& ALine);

// The records as a table with a header line, oldest first; "no updates recorded" for none.
std::string UpdateHistoryText(const std::vector<TUpdateRecord>& ARecords);

class TUpdateHistory {
public:
    // The file's limit; trimming keeps the newest records within three quarters of it, so that it
    // is not rewritten on every append.
    static constexpr std::size_t KDefaultMaxBytes = 256 * 1024;

    explicit TUpdateHistory(std::string AFileName, std::size_t AMaxBytes = KDefaultMaxBytes);

    const std::string& FileName() const { return fFileName; }
    // Appends ARecord. Throws (with a message naming the file) when the file cannot be read or written.
    void Append(const TUpdateRecord& ARecord) const;
    // The records, oldest first; AWarnings receives one line for each line that was skipped. No file
    // gives none. Throws when the file cannot be read.
    std::vector<TUpdateRecord> Read(std::vector<std::string>& AWarnings) const;

private:
    std::string fFileName;
    std::size_t fMaxBytes;
};
