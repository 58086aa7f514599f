#include "MyLib/CameraStream.h"

#include "MyLib/WinUsb.h"
#include "platform/LittleEndian.h"
#include "platform/TickCount.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

constexpr uint8_t KRecordMarker = 0x88;
constexpr int KRecordHeader = 5;
// Filter design of the X, Y and angle filters.
constexpr double KCutOff = 0.15;
constexpr double KRipple = 0.5;
constexpr uint8_t KPoles = 2;
// Accelerometer zero and the band around it that counts as level.
constexpr int KAxisZero = 2048;
constexpr int KNearZero = 192;
constexpr int KAxisUp = 2559;
constexpr int KAxisDown = 1536;
// bImageFound: the mark was found; it was found anew (the filters restart).
constexpr uint8_t KMarkFound = 0x01;
constexpr uint8_t KMarkFoundAnew = 0x1C;
// Piezo state of a packet whose shock phase is a shock, not a temperature.
constexpr uint8_t KPiezoShock = 4;

// Runs an event handler; what it throws stays with it.
template <class TNotify, class... TArgs> void Notify(const TNotify& AHandler, const TArgs&... AArgs) {
    if (!AHandler)
        return;
    try {
        AHandler(AArgs...);
    } catch (...) {
    }
}

bool HasImage(uint8_t AId) {
    return AId == QV_PACKET_IMAGE || AId == QV_PACKET_IMAGE_ALT || AId == QV_PACKET_FULL_IMAGE;
}

} // namespace

TCameraStream::TCameraStream() {
    fFifo.SetSize(KFifoSize);
    fRecord.resize(KFifoSize);
    for (TCheb2* filter : {&fXFilter, &fYFilter, static_cast<TCheb2*>(&fAngleFilter)})
        filter->Init(KCutOff, TFilterPassType::LowPass, KRipple, KPoles);
}

void TCameraStream::SetProtocol(uint16_t AProtocolMajor) {
    fProtocol = AProtocolMajor;
}

void TCameraStream::ProcessData(const uint8_t* ABuffer, size_t ACount) {
    // A read may be as large as the FIFO while part of a record still waits in it: the read goes in
    // as pieces that fit, whole records being taken out after each.
    size_t pos = 0;
    while (pos < ACount) {
        const size_t piece = std::min(size_t(fFifo.Avail()), ACount - pos);
        if (piece == 0) {
            fDroppedBytes += size_t(fFifo.Count());
            fFifo.Clear();
            continue;
        }
        fFifo.Write(ABuffer + pos, int(piece));
        pos += piece;
        SplitRecords();
    }
}

void TCameraStream::SplitRecords() {
    uint8_t header[KRecordHeader];
    while (fFifo.Count() >= KRecordHeader) {
        fFifo.Check(header, KRecordHeader);
        const uint32_t length = GetLE32(header + 1);
        if (header[0] != KRecordMarker || length > uint32_t(fFifo.Size() - 1 - KRecordHeader)) {
            // Lost track of the records, or one that could never fit: what is held is useless.
            fDroppedBytes += size_t(fFifo.Count());
            fFifo.Clear();
            return;
        }
        if (uint32_t(fFifo.Count()) < KRecordHeader + length)
            return;
        fFifo.Skip(KRecordHeader);
        fFifo.Read(fRecord.data(), int(length));
        if (length > 0)
            DoData(fRecord.data(), length);
    }
}

void TCameraStream::DoData(const uint8_t* ABlock, size_t ACount) {
    if (ACount == 0)
        return;
    if (fStage == TStage::ExtraData) {
        // The running index is one byte on the wire: after 255 continuation blocks of an image
        // without the id-6 prefix, index 0 is the next block, not a header.
        const bool wrapped = fPacket.bPacketId != QV_PACKET_FULL_IMAGE && ((fBlockIndex + 1) & 0xFF) == 0;
        if (ABlock[0] != 0 || wrapped) {
            TakeContinuation(ABlock, ACount);
            return;
        }
        DeliverExtraData(); // a header ends an unfinished packet
    }
    if (ABlock[0] != 0) {
        ++fRefusedBlocks;
        return;
    }
    TakeHeader(ABlock, ACount);
}

void TCameraStream::TakeHeader(const uint8_t* ABlock, size_t ACount) {
    if (ACount < 2) {
        ++fRefusedBlocks;
        return;
    }
    const uint8_t id = ABlock[1];
    if (id >= QV_PACKET_STACK_ERROR) {
        if (std::string line = QVFaultLine(ABlock, ACount); !line.empty())
            OutputDebugLine(line);
        return;
    }
    if (id != QV_PACKET_POINT && !HasImage(id))
        return;
    if (!QVHasDecoder(fProtocol))
        return;
    if (!QVDecodeHeader(fProtocol, ABlock, ACount, {fSensor.PixToMMScale, fSensor.VrefADC}, fPacket)) {
        ++fRefusedBlocks;
        return;
    }
    MakePoint();
    // The packet size counts the header block: a size below it carries no extra data.
    if (HasImage(id) && fPacket.dwPacketSize > ACount) {
        fExtraSize = fPacket.dwPacketSize - uint32_t(ACount);
        fExtra.clear();
        fExtra.reserve(fExtraSize);
        fBlockIndex = 0;
        fStage = TStage::ExtraData;
    }
}

void TCameraStream::TakeContinuation(const uint8_t* ABlock, size_t ACount) {
    ++fBlockIndex;
    // Id 6 continuation blocks: 1, the index, one more byte, then data; others: the index, then data.
    const bool full = fPacket.bPacketId == QV_PACKET_FULL_IMAGE;
    const size_t prefix = full ? 3 : 1;
    if (ACount < prefix || ABlock[full ? 1 : 0] != uint8_t(fBlockIndex)) {
        ++fRefusedBlocks;
        DropExtraData();
        return;
    }
    const size_t take = std::min(ACount - prefix, size_t(fExtraSize) - fExtra.size());
    fExtra.insert(fExtra.end(), ABlock + prefix, ABlock + prefix + take);
    if (fExtra.size() == fExtraSize)
        DeliverExtraData();
}

void TCameraStream::DeliverExtraData() {
    fStage = TStage::Header;
    fPacket.pExtraData = fExtra.data();
    fPacket.dwExtraDataSize = uint32_t(fExtra.size());
    const size_t pixels = size_t(fPacket.wImageWidth) * fPacket.wImageHeight;
    if (fOnImage && HasImage(fPacket.bPacketId) && pixels > 0 && fExtra.size() >= pixels) {
        TQVBitmap bitmap;
        bitmap.Width = fPacket.wImageWidth;
        bitmap.Height = fPacket.wImageHeight;
        bitmap.Pixels.assign(fExtra.begin(), fExtra.begin() + std::ptrdiff_t(pixels));
        Notify(fOnImage, fPacket, bitmap);
    }
    DropExtraData();
}

void TCameraStream::DropExtraData() {
    fStage = TStage::Header;
    fExtra.clear();
    fExtraSize = 0;
    fPacket.pExtraData = nullptr;
    fPacket.dwExtraDataSize = 0;
}

void TCameraStream::MakePoint() {
    TQVDataPacket_V1& p = fPacket;
    fSensor.VrefADC = p.bVref;
    fSensor.AnalogGain = p.wAnalogGain;
    fSensor.StartX = p.wStartX;
    fSensor.StartY = p.wStartY;
    fSensor.ShutterWidth = p.wShutterWidth;
    if (p.bPiezoState != KPiezoShock) {
        fTemperature = p.dwShockPhase / 10.0;
        p.dwShockPhase = 0;
    }
    p.fTemperature = float(fTemperature);
    Notify(fOnPacket, p);

    TQueuedPoint_V1 point;
    point.dwTick = TickCount();
    point.dwCounter = p.dwTimer;
    point.dwSampleCounter = p.wPacketIndex;
    point.mic = p.dwShockValue;
    point.micidx = p.dwShockPhase;
    point.targetindex = 1;
    point.VisibleDistance = fSensor.WorkingDistance;
    point.OffScale = false;
    point.ExtraData = &fPacket;
    point.scale = p.Scale;
    // A non-finite position or scale is no mark: it would poison every later output of the filters.
    const double a = -(double(p.X) * p.Scale - fCX), b = double(p.Y) * p.Scale - fCY;
    if ((p.bImageFound & KMarkFound) && std::isfinite(a) && std::isfinite(b)) {
        if (p.bImageFound & KMarkFoundAnew)
            ResetFilters();
        if (!fFixedAngle)
            fAngle = CalculateAngle(p);
        point.angle = fAngle;
        point.x[0] = p.X;
        point.y[0] = p.Y;
        const double c = std::cos(fAngle), s = std::sin(fAngle);
        point.xmm = a * c - b * s;
        point.ymm = b * c + a * s;
        if (fUseXYFilter) {
            point.xmm = fXFilter.Filter(point.xmm);
            point.ymm = fYFilter.Filter(point.ymm);
        }
        point.valid = true;
    } else {
        LosePoint(point);
    }
    fLastQP = point;
    Notify(fOnNewPoint, point);
}

void TCameraStream::LosePoint(TQueuedPoint_V1& APoint) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    APoint.xmm = APoint.ymm = APoint.x[0] = APoint.y[0] = nan;
    APoint.angle = fAngle;
    APoint.valid = false;
    ResetFilters();
}

double TCameraStream::CalculateAngle(const TQVDataPacket_V1& APacket) {
    double angle = PointsAngle(KAxisZero - double(APacket.wAxisY), KAxisZero - double(APacket.wAxisX), 0, 0);
    if (angle > std::numbers::pi)
        angle -= 2 * std::numbers::pi;
    return fUseAngleFilter ? fAngleFilter.Filter(angle) : angle;
}

int TCameraStream::SensorPosition(const TQVDataPacket_V1& APacket) {
    const int dx = APacket.wAxisX - KAxisZero, dy = APacket.wAxisY - KAxisZero,
              dz = APacket.wAxisZ - KAxisZero;
    auto near = [](int AValue) { return std::abs(AValue) < KNearZero; };
    if (near(dx) && near(dy))
        return APacket.wAxisZ > KAxisUp ? 1 : APacket.wAxisZ <= KAxisDown ? 2 : 0;
    if (near(dx) && near(dz))
        return APacket.wAxisY > KAxisUp ? 3 : APacket.wAxisY <= KAxisDown ? 4 : 0;
    if (near(dy) && near(dz))
        return APacket.wAxisX > KAxisUp ? 5 : APacket.wAxisX <= KAxisDown ? 6 : 0;
    return 0;
}

void TCameraStream::SetCenter(double AX, double AY) {
    fCX = AX;
    fCY = AY;
}

void TCameraStream::DoCorrection(double ADx, double ADy, double AAngle) {
    const TPoint2D moved = RotatePoint(-ADx, ADy, AAngle);
    fCX -= moved.x;
    fCY -= moved.y;
}

void TCameraStream::FixAngle(double AAngle) {
    fFixedAngle = true;
    fAngle = AAngle;
}

void TCameraStream::ResetFilters() {
    fXFilter.Reset();
    fYFilter.Reset();
    fAngleFilter.Reset();
}
