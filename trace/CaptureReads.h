#pragma once
// A captured sensor stream cut back into the reads the family driver delivered, so that a capture of
// any length is decoded piece by piece as the device's reads were: whole records (id byte, 32-bit
// length, data) for boards that send records, whole raw frames for the others. Bytes that belong to
// no record are skipped and reported with their offset in the capture; memory stays bounded by one
// piece and one record.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Whether an optical board of these versions sends its stream in records: new boards, and old boards
// from firmware 10; the others send raw frames.
inline bool OpticalStreamHasRecords(uint16_t AVersionHW, uint16_t AVersionFW) {
    return AVersionHW >= 5 || AVersionFW >= 10;
}

class TCaptureReads {
public:
    // One read as the driver delivered it.
    using TOnRead = std::function<void(const uint8_t* AData, size_t ASize)>;
    // A run of ACount bytes from AOffset that is no record.
    using TOnSkipped = std::function<void(uint64_t AOffset, uint64_t ACount)>;

    // ARecords: the capture holds records; else raw frames of ARawFrameSize bytes.
    TCaptureReads(bool ARecords, size_t ARawFrameSize, TOnRead AOnRead, TOnSkipped AOnSkipped);
    // The next bytes of the capture, cut anywhere.
    void Feed(const uint8_t* AData, size_t ASize);
    // The capture has ended: what is left is an incomplete record or frame, and is skipped.
    void Finish();

    // The longest record a driver read can hold.
    static constexpr uint32_t KMaxRecordLength = 10240;

private:
    // Hands on the complete records at the front of fPending; returns how many bytes were taken.
    size_t TakeRecords();
    void Skip(uint64_t AOffset, uint64_t ACount);
    void ReportSkipped();

    const bool fRecords;
    const size_t fRawFrameSize;
    TOnRead fOnRead;
    TOnSkipped fOnSkipped;
    std::vector<uint8_t> fPending;
    // Offset in the capture of fPending's first byte.
    uint64_t fOffset = 0;
    // The run of skipped bytes not reported yet.
    uint64_t fSkipOffset = 0;
    uint64_t fSkipCount = 0;
};
