#include "trace/CaptureReads.h"

#include "MyLib/OpticalFrames.h"

TCaptureReads::TCaptureReads(bool ARecords, size_t ARawFrameSize, TOnRead AOnRead, TOnSkipped AOnSkipped)
    : fRecords(ARecords), fRawFrameSize(ARawFrameSize), fOnRead(std::move(AOnRead)),
      fOnSkipped(std::move(AOnSkipped)) {}

void TCaptureReads::Feed(const uint8_t* AData, size_t ASize) {
    fPending.insert(fPending.end(), AData, AData + ASize);
    size_t taken = 0;
    if (fRecords) {
        taken = TakeRecords();
    } else {
        taken = fPending.size() - fPending.size() % fRawFrameSize;
        if (taken > 0)
            fOnRead(fPending.data(), taken);
    }
    fPending.erase(fPending.begin(), fPending.begin() + std::ptrdiff_t(taken));
    fOffset += taken;
}

void TCaptureReads::Finish() {
    Skip(fOffset, fPending.size());
    ReportSkipped();
    fOffset += fPending.size();
    fPending.clear();
}

size_t TCaptureReads::TakeRecords() {
    const uint8_t* bytes = fPending.data();
    const size_t size = fPending.size();
    size_t pos = 0;
    for (;;) {
        const size_t start = pos;
        while (pos < size && bytes[pos] != KSensorRecordId)
            ++pos;
        Skip(fOffset + start, pos - start);
        if (size - pos < KSensorRecordHeaderSize)
            return pos;
        const uint32_t length = uint32_t(bytes[pos + 1]) | uint32_t(bytes[pos + 2]) << 8 |
                                uint32_t(bytes[pos + 3]) << 16 | uint32_t(bytes[pos + 4]) << 24;
        // An id byte with a length no read can hold is a stray byte, not a record.
        if (length > KMaxRecordLength) {
            Skip(fOffset + pos, 1);
            ++pos;
            continue;
        }
        if (size - pos - KSensorRecordHeaderSize < length)
            return pos;
        ReportSkipped();
        fOnRead(bytes + pos, KSensorRecordHeaderSize + length);
        pos += KSensorRecordHeaderSize + length;
    }
}

void TCaptureReads::Skip(uint64_t AOffset, uint64_t ACount) {
    if (ACount == 0)
        return;
    if (fSkipCount > 0 && fSkipOffset + fSkipCount != AOffset)
        ReportSkipped();
    if (fSkipCount == 0)
        fSkipOffset = AOffset;
    fSkipCount += ACount;
}

void TCaptureReads::ReportSkipped() {
    if (fSkipCount == 0)
        return;
    fOnSkipped(fSkipOffset, fSkipCount);
    fSkipCount = 0;
}
