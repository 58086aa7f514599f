#pragma once
// The optical sensor's input side: the bytes the transport delivers (whole stream reads or blocks
// already split), collected until whole frames are there, decoded into aiming points and delivered;
// or, in oscilloscope mode, raw 16-bit ADC samples. New boards (hardware 5 and above) send 47-byte
// frames in records; old boards 93-byte frames as a 63-byte and a 30-byte packet, in records from
// firmware 10 and as raw reads below.
// Nothing here trusts the device: a record or read that does not fit the collecting buffer is split or
// dropped with a count, never written past it.
#include "MyLib/CommonKelvoDevice.h"
#include "MyLib/MyFifo.h"
#include "MyLib/OpticalFrames.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class TOpticalStream {
public:
    static constexpr size_t KBufferSize = 4096;
    // What the byte FIFO holds at most (one byte of its ring stays empty).
    static constexpr size_t KBufferCapacity = KBufferSize - 1;

    using TPointNotify = std::function<void(const TQueuedPoint_V1& APoint)>;
    using TOscNotify = std::function<void(const std::vector<uint16_t>& ASamples)>;

    TOpticalStream();

    // The board the bytes come from; drops what is collected.
    void SetDevice(uint16_t AVersionHW, uint16_t AVersionFW);
    // A whole stream read of the family driver.
    void ProcessData(const uint8_t* ABuffer, size_t ACount);
    // One block already split by the transport (a generic-driver packet).
    void DoData(const uint8_t* ABuffer, size_t ACount);

    TOpticalAim& Aim() { return fAim; }
    const TOpticalAim& Aim() const { return fAim; }
    bool SkipFrames() const { return fSkipFrames; }
    void SetSkipFrames(bool AValue) { fSkipFrames = AValue; }
    bool OscMode() const { return fOscMode; }
    // Drops what is collected (the sensor starts measuring).
    void ClearFifo() { fFifo.Clear(); }
    // Switches oscilloscope mode; drops what is collected.
    void SetOscMode(bool AValue);
    // Samples per oscilloscope block; false (nothing changes) for 0 or a block larger than the FIFO.
    bool SetOscSamples(size_t ASamples);
    // Calibration factors per quadrant, applied while UseCalibration is on.
    void SetCalibration(const TQuadrantFactors& AK) { fCalibration = AK; }
    bool UseCalibration() const { return fUseCalibration; }
    void SetUseCalibration(bool AValue) { fUseCalibration = AValue; }
    // Points go to this handler when one is set, else (while StorePoints is on) to the points queue.
    void SetOnNewPoint(TPointNotify AValue) { fOnNewPoint = std::move(AValue); }
    bool StorePoints() const { return fStorePoints; }
    void SetStorePoints(bool AValue) { fStorePoints = AValue; }
    // Takes every queued point; safe from any thread.
    TPointsArray GetPoints() { return fQueue.Get(); }
    // Queued points the bounded queue let go, the oldest first, because nobody took them in time.
    uint64_t DroppedPoints() const { return fQueue.Dropped(); }
    void SetOnOscData(TOscNotify AValue) { fOnOscData = std::move(AValue); }

    uint32_t PacketCounter() const { return fPacketCounter; }
    void ResetPacketCounter() { fPacketCounter = 0; }
    // Bytes collected and not yet decoded.
    size_t Pending() const { return size_t(fFifo.Count()); }
    // Bytes thrown away because they did not fit.
    uint64_t DroppedBytes() const { return fDroppedBytes; }

private:
    bool NewBoard() const { return fVersionHW >= 5; }
    size_t FrameSize() const { return NewBoard() ? KNewFrameSize : KOldFrameSize; }
    size_t Free() const { return size_t(fFifo.Avail()); }
    // Room for ACount more bytes: collected frames are decoded first, then what is left is dropped.
    void MakeRoom(size_t ACount);
    // Room for ACount bytes; false (the bytes counted as dropped) when they can never fit.
    bool Admit(size_t ACount);
    // Appends bytes that fit (the callers make room first).
    void Append(const uint8_t* ABuffer, size_t ACount);
    // Appends after dropping a partial unit (frame or sample) left from before.
    void AppendAligned(const uint8_t* ABuffer, size_t ACount, size_t AUnit);
    // One record of the stream or one raw read of at most the buffer's size.
    void TakeRecord(const uint8_t* AData, size_t ACount);
    void TakeRawRead(const uint8_t* AData, size_t ACount);
    void ProcessFrames();
    void ProcessOscBlocks();
    void DecodeNewFrame(const uint8_t* AFrame);
    void DecodeOldFrame(const uint8_t* AFrame);
    void Deliver(TQueuedPoint_V1& APoint);

    uint16_t fVersionHW = 5;
    uint16_t fVersionFW = 0;
    TFifo fFifo; // collected bytes
    uint64_t fDroppedBytes = 0;
    bool fSkipFrames = false;
    bool fStorePoints = true;
    bool fOscMode = false;
    std::vector<uint16_t> fOscBuffer;
    std::vector<uint8_t> fOscBlock; // one block's bytes as taken from the FIFO
    bool fUseCalibration = false;
    TQuadrantFactors fCalibration{1, 1, 1, 1};
    uint32_t fPacketCounter = 0;
    TUsbFrame fLastFrame1;
    std::array<int, 4> fIdx{1, 2, 0, 3};
    // The phase corrections for the two LED frequencies, built once and shared by every stream.
    const TPhaseCorrection& fPC1;
    const TPhaseCorrection& fPC2;
    TOpticalAim fAim;
    TPointsQueue fQueue;
    TPointNotify fOnNewPoint;
    TOscNotify fOnOscData;
};
