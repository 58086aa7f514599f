#pragma once
// TFifo: the byte ring in which a sensor collects stream bytes until whole packets can be taken
// out. One byte of the ring always stays empty, so a full ring is told apart from an empty one.
// No lock: one thread at a time.
#include <cstdint>
#include <vector>

class TFifo {
public:
    TFifo();

    // Drops the stored bytes and makes the ring AValue bytes large; false (nothing changes) for a
    // size of 0 or less. The overflow count is kept.
    bool SetSize(int AValue);
    int Size() const { return fSize; }
    int Count() const;
    // Bytes that can be written without overwriting unread ones.
    int Avail() const;
    // Stores ACount bytes. A write that does not fit counts an overflow and drops the oldest unread
    // bytes, so the ring ends full with the newest ones; of a write of the ring's size or more only
    // the last Size()-1 bytes are kept. Returns ACount (0 for a count of 0 or less).
    int Write(const void* ABuffer, int ACount);
    // Takes up to ACount bytes out; returns how many.
    int Read(void* ABuffer, int ACount);
    // As Read, but leaves the bytes in the ring.
    int Check(void* ABuffer, int ACount) const;
    void Skip(int ACount);
    // Empties the ring and resets the overflow count.
    void Clear();
    uint8_t* GetBuffer() { return fBuffer.data(); }
    int Overflows() const { return fOverflows; }

private:
    // Copies ACount stored bytes from AFrom on, wrapping at the end of the storage.
    void CopyOut(int AFrom, uint8_t* ATo, int ACount) const;
    // Moves the read position on by ACount; an emptied ring starts again at the beginning.
    void Advance(int ACount);

    static constexpr int KDefaultSize = 1024;

    std::vector<uint8_t> fBuffer;
    int fHead = 0;
    int fTail = 0;
    int fSize = KDefaultSize;
    int fOverflows = 0;
};
