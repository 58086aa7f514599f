#include "sim/SimOpticalStream.h"

#include "platform/LittleEndian.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

constexpr double Pi = std::numbers::pi;
constexpr double KSpotSum = 4000;    // total amplitude of one LED's four quadrants
constexpr double KLedHalfGapMm = 91; // each target LED's distance from the target's centre
constexpr double KOldPhase = 0.4;    // phase of the old boards' correlation sums, radians
constexpr int KOversizedRead = 10240;

// Sized up front: GCC 12 at -O3 reports false overreads when a small vector grows by insert.
std::vector<uint8_t> Record(const std::vector<uint8_t>& AData, uint32_t ALength, uint8_t AId = 0x88) {
    std::vector<uint8_t> bytes(5 + AData.size(), AId);
    PutLE32(bytes.data() + 1, ALength);
    std::copy(AData.begin(), AData.end(), bytes.begin() + 5);
    return bytes;
}

} // namespace

void SimSpotAmplitudes(double AX, double AY, double ASum, double AAmp[4]) {
    double x = AX * ASum / 2000, y = AY * ASum / 2000;
    AAmp[0] = (ASum - x - y) / 4;
    AAmp[1] = (ASum - x + y) / 4;
    AAmp[2] = (ASum + x + y) / 4;
    AAmp[3] = (ASum + x - y) / 4;
}

TSimAimPath::TSimAimPath(uint32_t ASeed, double AFrameRate)
    : fRandom(ASeed), fFrameRate(AFrameRate), fNextShot(uint64_t(AFrameRate * 2)) {}

TSimAimSample TSimAimPath::Next() {
    double t = double(fFrame) / fFrameRate;
    std::normal_distribution<double> noise(0, 0.3);
    TSimAimSample sample;
    sample.XMm = 12 * std::sin(2 * Pi * 0.23 * t) + 5 * std::sin(2 * Pi * 0.07 * t + 1) +
                 0.8 * std::sin(2 * Pi * 8 * t) + noise(fRandom);
    sample.YMm = 10 * std::sin(2 * Pi * 0.17 * t + 2) + 4 * std::sin(2 * Pi * 0.05 * t) +
                 0.8 * std::cos(2 * Pi * 9 * t) + noise(fRandom) + fRecoil;
    fRecoil *= 0.85;
    if (fFrame == fNextShot) {
        sample.Shot = true;
        fRecoil = 25;
        std::uniform_real_distribution<double> pause(2.5, 5);
        fNextShot = fFrame + uint64_t(pause(fRandom) * fFrameRate);
    }
    ++fFrame;
    return sample;
}

TSimOpticalStream::TSimOpticalStream(const TSimOpticalStreamSetup& ASetup, uint32_t ASeed)
    : fSetup(ASetup), fPath(ASeed) {}

std::vector<uint8_t> TSimOpticalStream::NewFrame(const TSimAimSample& AAim, bool ANonFinite) {
    double mx = AAim.XMm * fSetup.UnitsPerMm, my = AAim.YMm * fSetup.UnitsPerMm;
    double led1[4], led2[4];
    double gap = KLedHalfGapMm * fSetup.UnitsPerMm;
    SimSpotAmplitudes(mx, my + gap, KSpotSum, led1);
    SimSpotAmplitudes(mx, my - gap, KSpotSum, led2);
    if (ANonFinite)
        led2[1] = std::numeric_limits<double>::quiet_NaN();
    std::vector<uint8_t> bytes;
    AppendLE32(bytes, fCounter);
    AppendLE32(bytes, fCounter * 400);
    AppendLE32(bytes, AAim.Shot ? 123 : 0);
    AppendLE16(bytes, AAim.Shot ? 3000 : 40);
    for (const double* led : {led1, led2})
        for (int q = 0; q < 4; ++q)
            AppendLE32(bytes, std::bit_cast<uint32_t>(float(led[q])));
    bytes.push_back(0);
    return bytes;
}

std::vector<uint8_t> TSimOpticalStream::OldFrame(const TSimAimSample& AAim, bool ACancel) {
    double mx = AAim.XMm * fSetup.UnitsPerMm, my = AAim.YMm * fSetup.UnitsPerMm;
    double amp[2][4];
    double gap = KLedHalfGapMm * fSetup.UnitsPerMm;
    SimSpotAmplitudes(mx, my + gap, KSpotSum / 4, amp[0]);
    SimSpotAmplitudes(mx, my - gap, KSpotSum / 4, amp[1]);
    std::vector<uint8_t> bytes;
    // The host adds the sums of two frames and divides by 200 * 512: each frame carries half.
    for (int q = 0; q < 4; ++q)
        for (int l = 0; l < 2; ++l) {
            double half = ACancel ? 0 : amp[l][q] * 200 * 512 / 2;
            AppendLE32(bytes, uint32_t(int32_t(std::lround(half * std::cos(KOldPhase)))));
            AppendLE32(bytes, uint32_t(int32_t(std::lround(half * std::sin(KOldPhase)))));
        }
    AppendLE32(bytes, AAim.Shot ? 600000 : 8000);
    bytes.resize(93, AAim.Shot ? 0xFF : 0);
    return bytes;
}

std::vector<TSimOpticalTransfer> TSimOpticalStream::NextFrame(TSimAimSample* AAim) {
    TSimAimSample aim = fPath.Next();
    if (AAim)
        *AAim = aim;
    ++fFrames;
    TSimOpticalFault fault =
        fSetup.FaultEvery != 0 && fFrames % fSetup.FaultEvery == 0 ? fSetup.Fault : TSimOpticalFault::None;
    bool newBoard = fSetup.VersionHW >= 5;
    bool records = SendsRecords();
    std::vector<uint8_t> frame = newBoard ? NewFrame(aim, fault == TSimOpticalFault::NonFinite)
                                          : OldFrame(aim, fault == TSimOpticalFault::NonFinite);
    if (newBoard)
        ++fCounter;

    std::vector<TSimOpticalTransfer> out;
    switch (fault) {
    case TSimOpticalFault::BadSize:
        out.push_back({true, Record(frame, uint32_t(frame.size() + 100))});
        return out;
    case TSimOpticalFault::BadMarker:
        out.push_back({true, Record(frame, uint32_t(frame.size()), 0x77)});
        return out;
    case TSimOpticalFault::LoneHalf:
        if (newBoard)
            out.push_back({false, std::vector<uint8_t>(frame.begin(), frame.end() - 1)});
        else
            out.push_back({false, std::vector<uint8_t>(frame.begin() + 63, frame.end())});
        return out;
    case TSimOpticalFault::OversizedRead: {
        std::vector<uint8_t> read;
        while (read.size() < KOversizedRead) {
            std::vector<uint8_t> piece = records ? Record(frame, uint32_t(frame.size())) : frame;
            read.insert(read.end(), piece.begin(), piece.end());
        }
        read.resize(KOversizedRead);
        out.push_back({true, read});
        return out;
    }
    case TSimOpticalFault::None:
    case TSimOpticalFault::NonFinite:
        break;
    }
    if (newBoard)
        out.push_back({false, frame});
    else {
        out.push_back({false, std::vector<uint8_t>(frame.begin(), frame.begin() + 63)});
        out.push_back({false, std::vector<uint8_t>(frame.begin() + 63, frame.end())});
    }
    return out;
}
