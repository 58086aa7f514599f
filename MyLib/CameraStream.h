#pragma once
// The camera sensor's input side: stream reads of the family driver (0x88 records, each one USB
// block) collected in a FIFO of one read's size, or blocks of the generic driver as they come; packets
// reassembled from a header block and its continuation blocks, decoded by protocol version, turned
// into aiming points in millimetres through the X, Y and angle filters, and images delivered as grey
// bitmaps.
// Nothing here trusts the device: record lengths, packet sizes and block indexes are checked against
// the bytes received, a read that does not fit the FIFO is taken in pieces, and a non-finite value
// gives an invalid point that never reaches a filter.
#include "MyLib/CameraPackets.h"
#include "MyLib/CommonKelvoDevice.h"
#include "MyLib/MyFifo.h"
#include "MyLib/MyMath.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// The sensor's values that packets read (scale, distance, reference ADC) and update (reference ADC,
// gain, window start, shutter width).
struct TQVSensorValues {
    double PixToMMScale = 0;    // millimetres per pixel
    double WorkingDistance = 0; // millimetres
    uint8_t VrefADC = 0;
    uint16_t AnalogGain = 0;
    uint16_t StartX = 0;
    uint16_t StartY = 0;
    uint16_t ShutterWidth = 0;
};

class TCameraStream {
public:
    static constexpr int KFifoSize = 10240;

    using TPacketNotify = std::function<void(const TQVDataPacket_V1& APacket)>;
    using TImageNotify = std::function<void(const TQVDataPacket_V1& APacket, const TQVBitmap& ABitmap)>;
    using TPointNotify = std::function<void(const TQueuedPoint_V1& APoint)>;

    TCameraStream();

    // The protocol major version picks the header layout; a version without one ignores packets.
    void SetProtocol(uint16_t AProtocolMajor);
    uint16_t Protocol() const { return fProtocol; }
    // A stream read of the family driver: 0x88 records of a 32-bit length, each one block.
    void ProcessData(const uint8_t* ABuffer, size_t ACount);
    // One block (a generic-driver packet, or one record's data).
    void DoData(const uint8_t* ABlock, size_t ACount);

    // The direction of gravity in the image plane, in (-pi, pi], through the angle filter when on.
    double CalculateAngle(const TQVDataPacket_V1& APacket);
    // Which face of the sensor points up (1 to 6), 0 when it is tilted.
    static int SensorPosition(const TQVDataPacket_V1& APacket);

    // Millimetre position of the optical centre in the measuring window.
    void SetCenter(double AX, double AY);
    // Moves the centre by (ADx, ADy) seen at AAngle.
    void DoCorrection(double ADx, double ADy, double AAngle);
    // Uses AAngle instead of the accelerometer's.
    void FixAngle(double AAngle);
    void ResetFilters();

    TQVSensorValues& Sensor() { return fSensor; }
    const TQVSensorValues& Sensor() const { return fSensor; }
    double CX() const { return fCX; }
    double CY() const { return fCY; }
    double Angle() const { return fAngle; }
    bool FixedAngle() const { return fFixedAngle; }
    bool UseXYFilter() const { return fUseXYFilter; }
    void SetUseXYFilter(bool AValue) { fUseXYFilter = AValue; }
    bool UseAngleFilter() const { return fUseAngleFilter; }
    void SetUseAngleFilter(bool AValue) { fUseAngleFilter = AValue; }
    double Temperature() const { return fTemperature; }
    const TQVDataPacket_V1& Packet() const { return fPacket; }
    const TQueuedPoint_V1& LastPoint() const { return fLastQP; }

    void SetOnPacket(TPacketNotify AValue) { fOnPacket = std::move(AValue); }
    void SetOnImage(TImageNotify AValue) { fOnImage = std::move(AValue); }
    void SetOnNewPoint(TPointNotify AValue) { fOnNewPoint = std::move(AValue); }

    // Whether the extra data of a packet are being collected.
    bool CollectingExtraData() const { return fStage == TStage::ExtraData; }
    // Stream bytes dropped: records that could never fit the FIFO, and bytes after a broken marker.
    uint64_t DroppedBytes() const { return fDroppedBytes; }
    // Blocks refused: headers shorter than their layout, continuation blocks out of order or
    // shorter than their prefix, and blocks outside a packet.
    uint64_t RefusedBlocks() const { return fRefusedBlocks; }

private:
    enum class TStage { Header, ExtraData };

    // Takes whole records out of the FIFO.
    void SplitRecords();
    void TakeHeader(const uint8_t* ABlock, size_t ACount);
    void TakeContinuation(const uint8_t* ABlock, size_t ACount);
    // Hands the extra data collected so far to the image event and releases them.
    void DeliverExtraData();
    void DropExtraData();
    void MakePoint();
    // The point of a packet without a usable mark: not valid, not a number, filters restarted.
    void LosePoint(TQueuedPoint_V1& APoint);

    uint16_t fProtocol = 0;
    TFifo fFifo;
    std::vector<uint8_t> fRecord; // one record's data, taken out of the FIFO
    TStage fStage = TStage::Header;
    uint32_t fExtraSize = 0;
    std::vector<uint8_t> fExtra;
    // Continuation blocks counted since the header; the wire carries its low byte.
    uint32_t fBlockIndex = 0;
    TQVSensorValues fSensor;
    TQVDataPacket_V1 fPacket;
    TQueuedPoint_V1 fLastQP;
    double fCX = 0;
    double fCY = 0;
    double fAngle = 0;
    bool fFixedAngle = false;
    bool fUseXYFilter = true;
    bool fUseAngleFilter = true;
    TCheb2 fXFilter;
    TCheb2 fYFilter;
    TAngleCheb2 fAngleFilter;
    double fTemperature = 0;
    uint64_t fDroppedBytes = 0;
    uint64_t fRefusedBlocks = 0;
    TPacketNotify fOnPacket;
    TImageNotify fOnImage;
    TPointNotify fOnNewPoint;
};
