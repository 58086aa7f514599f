#include "MyLib/OpticalStream.h"

#include "MyLib/WinUsb.h"
#include "platform/LittleEndian.h"
#include "platform/TickCount.h"

#include <string>

namespace {

constexpr size_t KDefaultOscSamples = 512;

const TPhaseCorrection& SharedPhaseCorrection(int AFrequency) {
    static const TPhaseCorrection PC1(24), PC2(28);
    return AFrequency == 24 ? PC1 : PC2;
}

} // namespace

TOpticalStream::TOpticalStream() : fPC1(SharedPhaseCorrection(24)), fPC2(SharedPhaseCorrection(28)) {
    fFifo.SetSize(int(KBufferSize));
    fOscBuffer.resize(KDefaultOscSamples);
}

void TOpticalStream::SetDevice(uint16_t AVersionHW, uint16_t AVersionFW) {
    fVersionHW = AVersionHW;
    fVersionFW = AVersionFW;
    ClearFifo();
}

void TOpticalStream::SetOscMode(bool AValue) {
    fOscMode = AValue;
    ClearFifo();
}

bool TOpticalStream::SetOscSamples(size_t ASamples) {
    if (ASamples == 0 || ASamples * 2 > KBufferCapacity)
        return false;
    fOscBuffer.assign(ASamples, 0);
    return true;
}

void TOpticalStream::MakeRoom(size_t ACount) {
    if (Free() >= ACount)
        return;
    // Whole frames collected so far are decoded first; only what still does not fit is lost.
    ProcessFrames();
    if (Free() < ACount) {
        fDroppedBytes += Pending();
        ClearFifo();
    }
}

void TOpticalStream::Append(const uint8_t* ABuffer, size_t ACount) {
    fFifo.Write(ABuffer, int(ACount));
}

void TOpticalStream::ProcessData(const uint8_t* ABuffer, size_t ACount) {
    if (!NewBoard() && fVersionFW < 10) {
        // Raw reads can be larger than the buffer: taken in whole-frame pieces that fit.
        size_t piece = KBufferCapacity - KBufferCapacity % (fOscMode ? 2 : KOldFrameSize);
        for (size_t pos = 0; pos < ACount; pos += piece)
            TakeRawRead(ABuffer + pos, std::min(piece, ACount - pos));
        return;
    }
    TRecordWalk walk = WalkSensorRecords(
        ABuffer, ACount, [this](const uint8_t* AData, size_t ALength) { TakeRecord(AData, ALength); });
    if (walk.End == TRecordWalkEnd::NoId)
        OutputDebugLine("usb sensor: received bad packet, no id");
    else if (walk.End == TRecordWalkEnd::BadSize)
        OutputDebugLine("usb sensor: received bad packet size: " + std::to_string(walk.BadLength));
    ProcessFrames();
}

bool TOpticalStream::Admit(size_t ACount) {
    if (ACount > KBufferCapacity) {
        fDroppedBytes += ACount;
        return false;
    }
    MakeRoom(ACount);
    return true;
}

void TOpticalStream::AppendAligned(const uint8_t* ABuffer, size_t ACount, size_t AUnit) {
    if (Pending() % AUnit != 0)
        ClearFifo();
    Append(ABuffer, ACount);
}

void TOpticalStream::TakeRecord(const uint8_t* AData, size_t ACount) {
    if (!Admit(ACount))
        return;
    if (fOscMode)
        AppendAligned(AData, ACount, 2);
    else if (NewBoard()) {
        if (ACount == KNewFrameSize)
            AppendAligned(AData, ACount, KNewFrameSize);
    } else if (ACount == KOldFrameFirstPart)
        AppendAligned(AData, ACount, KOldFrameSize);
    else if (ACount == KOldFrameSecondPart)
        Append(AData, ACount);
}

void TOpticalStream::TakeRawRead(const uint8_t* AData, size_t ACount) {
    MakeRoom(ACount);
    AppendAligned(AData, ACount, fOscMode ? 2 : KOldFrameSize);
    ProcessFrames();
}

void TOpticalStream::DoData(const uint8_t* ABuffer, size_t ACount) {
    if (!Admit(ACount))
        return;
    if (fOscMode || NewBoard()) {
        size_t unit = fOscMode ? 2 : KNewFrameSize;
        if (Pending() % unit != 0)
            ClearFifo();
        if (ACount % unit != 0)
            return;
        Append(ABuffer, ACount);
        ProcessFrames();
    } else if (ACount == KOldFrameFirstPart)
        AppendAligned(ABuffer, ACount, KOldFrameSize);
    else if (ACount == KOldFrameSecondPart) {
        Append(ABuffer, ACount);
        ProcessFrames();
    } else
        ClearFifo();
}

void TOpticalStream::ProcessFrames() {
    if (fOscMode) {
        ProcessOscBlocks();
        return;
    }
    size_t size = FrameSize();
    size_t frames = Pending() / size;
    if (frames == 0)
        return;
    if (fSkipFrames) {
        fFifo.Skip(int((frames - 1) * size));
        frames = 1;
    }
    uint8_t frame[KOldFrameSize];
    for (size_t i = 0; i < frames; ++i) {
        fFifo.Read(frame, int(size));
        if (NewBoard())
            DecodeNewFrame(frame);
        else
            DecodeOldFrame(frame);
    }
}

void TOpticalStream::ProcessOscBlocks() {
    if (!fOnOscData) {
        ClearFifo();
        return;
    }
    // SetOscSamples keeps the block between 2 bytes and the FIFO's capacity, so the loop ends.
    size_t block = fOscBuffer.size() * 2;
    fOscBlock.resize(block);
    bool read = false;
    while (Pending() >= block) {
        fFifo.Read(fOscBlock.data(), int(block));
        for (size_t i = 0; i < fOscBuffer.size(); ++i)
            fOscBuffer[i] = GetLE16(fOscBlock.data() + 2 * i);
        read = true;
    }
    if (read)
        fOnOscData(fOscBuffer);
}

void TOpticalStream::DecodeNewFrame(const uint8_t* AFrame) {
    TNewSensorFrame frame = ReadNewSensorFrame(AFrame);
    TQueuedPoint_V1 point = NewFrameSpots(frame, fUseCalibration ? &fCalibration : nullptr);
    point.dwTick = TickCount();
    point.dwCounter = fPacketCounter = frame.dwCounter;
    point.dwSampleCounter = frame.dwSampleCounter;
    point.OffScale = frame.bOffScale != 0;
    point.OffScaleBits = frame.bOffScale;
    point.mic = frame.wMic;
    point.micidx = frame.dwMicIndex;
    point.targetindex = 1;
    Deliver(point);
}

void TOpticalStream::DecodeOldFrame(const uint8_t* AFrame) {
    TUsbFrame frame = ReadUsbFrame(AFrame);
    TQueuedPoint_V1 point =
        OldFrameSpots(fLastFrame1, frame, fUseCalibration ? &fCalibration : nullptr, fPC1, fPC2, fIdx);
    point.dwTick = TickCount();
    point.dwCounter = ++fPacketCounter;
    point.dwSampleCounter = 0;
    point.mic = frame.pieso / 200.0;
    fLastFrame1 = frame;
    Deliver(point);
}

void TOpticalStream::Deliver(TQueuedPoint_V1& APoint) {
    fAim.Finish(APoint);
    if (fOnNewPoint)
        fOnNewPoint(APoint);
    else if (fStorePoints)
        fQueue.Add(&APoint);
}
