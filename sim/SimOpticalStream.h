#pragma once
// What the simulated optical sensor sends while it measures: one frame per period with a wrapping
// counter, its LED amplitudes computed from an aiming path (a slow wander, a tremor, and now and then a
// shot with its recoil), laid out as the board sends them: a 47-byte frame on new boards, a 63-byte
// and a 30-byte packet of correlation sums on old ones (as records from firmware 10, raw bytes below).
// Faults can be injected every N frames. The layouts are written here from the byte tables, sharing
// nothing with the library.
#include <cstdint>
#include <random>
#include <vector>

// One aiming position in millimetres on the target and whether a shot fell in this frame.
struct TSimAimSample {
    double XMm = 0;
    double YMm = 0;
    bool Shot = false;
};

// A reproducible aiming path sampled at AFrameRate frames per second.
class TSimAimPath {
public:
    explicit TSimAimPath(uint32_t ASeed = 1, double AFrameRate = 100);
    TSimAimSample Next();

private:
    std::mt19937 fRandom;
    double fFrameRate;
    uint64_t fFrame = 0;
    uint64_t fNextShot;
    double fRecoil = 0;
};

enum class TSimOpticalFault {
    None,
    BadSize,       // a record claiming more bytes than it carries (generic binding: a short packet)
    BadMarker,     // a record without its id byte
    LoneHalf,      // old boards: the 30-byte packet alone; new boards: a 46-byte frame
    NonFinite,     // a NaN amplitude (new boards) or sums that cancel out (old boards)
    OversizedRead, // one stream read of 10,240 bytes
};

// One piece of the stream: a frame or half frame, which the family driver carries as a 0x88 record
// (old boards below firmware 10: the pieces of a frame joined into one raw read) and the generic
// driver as one packet on the bulk IN pipe; or, with WholeRead, the exact bytes of one family-driver
// stream read (the generic driver: those bytes as packets).
struct TSimOpticalTransfer {
    bool WholeRead = false;
    std::vector<uint8_t> Bytes;
};

struct TSimOpticalStreamSetup {
    uint16_t VersionHW = 5;
    uint16_t VersionFW = 11;
    TSimOpticalFault Fault = TSimOpticalFault::None;
    uint32_t FaultEvery = 0; // 0: never
    // Spot units per millimetre: LEDs 182 mm apart give spots 364 units apart, which the sensor's
    // default scale of 0.5 mm per unit reads back.
    double UnitsPerMm = 2;
};

class TSimOpticalStream {
public:
    explicit TSimOpticalStream(const TSimOpticalStreamSetup& ASetup, uint32_t ASeed = 1);
    // The transfers of the next frame and the aim they encode.
    std::vector<TSimOpticalTransfer> NextFrame(TSimAimSample* AAim = nullptr);
    uint32_t Counter() const { return fCounter; }
    // Whether the family driver carries the pieces as records (else as raw reads).
    bool SendsRecords() const { return fSetup.VersionHW >= 5 || fSetup.VersionFW >= 10; }
    void SetCounter(uint32_t AValue) { fCounter = AValue; }

private:
    std::vector<uint8_t> NewFrame(const TSimAimSample& AAim, bool ANonFinite);
    std::vector<uint8_t> OldFrame(const TSimAimSample& AAim, bool ACancel);

    TSimOpticalStreamSetup fSetup;
    TSimAimPath fPath;
    uint32_t fCounter = 0;
    uint64_t fFrames = 0;
};

// The four quadrant amplitudes that put one LED's spot at (AX, AY), normalised to a sum of 2000, with
// a total strength of ASum.
void SimSpotAmplitudes(double AX, double AY, double ASum, double AAmp[4]);
