#include "MyLib/MyFifo.h"

#include <algorithm>
#include <cstring>

TFifo::TFifo() : fBuffer(std::size_t(KDefaultSize)) {}

bool TFifo::SetSize(int AValue) {
    if (AValue <= 0)
        return false;
    fSize = AValue;
    fBuffer.assign(std::size_t(AValue), 0);
    fHead = fTail = 0;
    return true;
}

int TFifo::Count() const {
    const int count = fTail - fHead;
    return count < 0 ? count + fSize : count;
}

int TFifo::Avail() const {
    return fSize - Count() - 1;
}

int TFifo::Write(const void* ABuffer, int ACount) {
    if (ACount <= 0 || !ABuffer)
        return 0;
    const auto* bytes = static_cast<const uint8_t*>(ABuffer);
    const bool overflow = ACount > Avail();
    if (overflow)
        ++fOverflows;
    // More than the ring holds: only the newest bytes can stay.
    int count = ACount;
    if (count > fSize - 1) {
        bytes += count - (fSize - 1);
        count = fSize - 1;
    }
    const int first = std::min(count, fSize - fTail);
    std::memcpy(fBuffer.data() + fTail, bytes, std::size_t(first));
    std::memcpy(fBuffer.data(), bytes + first, std::size_t(count - first));
    fTail = (fTail + count) % fSize;
    // The oldest unread bytes were overwritten: what is left starts right after the newest byte.
    if (overflow)
        fHead = (fTail + 1) % fSize;
    return ACount;
}

void TFifo::CopyOut(int AFrom, uint8_t* ATo, int ACount) const {
    const int first = std::min(ACount, fSize - AFrom);
    std::memcpy(ATo, fBuffer.data() + AFrom, std::size_t(first));
    std::memcpy(ATo + first, fBuffer.data(), std::size_t(ACount - first));
}

void TFifo::Advance(int ACount) {
    fHead = (fHead + ACount) % fSize;
    if (fHead == fTail)
        fHead = fTail = 0;
}

int TFifo::Read(void* ABuffer, int ACount) {
    const int n = Check(ABuffer, ACount);
    Advance(n);
    return n;
}

int TFifo::Check(void* ABuffer, int ACount) const {
    if (ACount <= 0 || !ABuffer)
        return 0;
    const int n = std::min(ACount, Count());
    CopyOut(fHead, static_cast<uint8_t*>(ABuffer), n);
    return n;
}

void TFifo::Skip(int ACount) {
    if (ACount <= 0)
        return;
    Advance(std::min(ACount, Count()));
}

void TFifo::Clear() {
    fHead = fTail = 0;
    fOverflows = 0;
}
