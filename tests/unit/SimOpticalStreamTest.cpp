// The simulated sensor's stream read back by the library's frame code: the two sides lay out the
// bytes independently, so a layout mistake on either side shows here.
#include "sim/SimOpticalStream.h"
#include "MyLib/OpticalFrames.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

struct TDecoded {
    std::vector<TQueuedPoint_V1> Points;
    std::vector<uint32_t> Counters;
    int BadRecords = 0;
};

// Collects whole frames from the transfers of one board and decodes them without smoothing.
class TDecoder {
public:
    explicit TDecoder(bool ANewBoard) : fNewBoard(ANewBoard) {
        fAim.SetStaticTarget(0.5, 1, 0, 91, 0, -91);
        fAim.SetSmoothing(false);
        fAim.SetAngleOn(false);
    }
    void Feed(const TSimOpticalTransfer& ATransfer, TDecoded& AOut) {
        if (ATransfer.WholeRead) {
            TRecordWalk walk =
                WalkSensorRecords(ATransfer.Bytes.data(), ATransfer.Bytes.size(),
                                  [&](const uint8_t* AData, size_t ALength) { Take(AData, ALength, AOut); });
            AOut.BadRecords += walk.End != TRecordWalkEnd::Complete;
        } else
            Take(ATransfer.Bytes.data(), ATransfer.Bytes.size(), AOut);
    }

private:
    void Take(const uint8_t* AData, size_t ALength, TDecoded& AOut) {
        if (fNewBoard) {
            if (ALength != KNewFrameSize)
                return;
            TNewSensorFrame frame = ReadNewSensorFrame(AData);
            TQueuedPoint_V1 point = NewFrameSpots(frame, nullptr);
            fAim.Finish(point);
            AOut.Points.push_back(point);
            AOut.Counters.push_back(frame.dwCounter);
            return;
        }
        if (ALength == KOldFrameFirstPart)
            fOld.assign(AData, AData + ALength);
        else if (ALength == KOldFrameSecondPart && fOld.size() == KOldFrameFirstPart) {
            fOld.insert(fOld.end(), AData, AData + ALength);
            TUsbFrame frame = ReadUsbFrame(fOld.data());
            TQueuedPoint_V1 point = OldFrameSpots(fPrevious, frame, nullptr, fPC1, fPC2, {1, 2, 0, 3});
            fPrevious = frame;
            fAim.Finish(point);
            AOut.Points.push_back(point);
        }
        if (ALength != KOldFrameFirstPart)
            fOld.clear();
    }

    bool fNewBoard;
    TOpticalAim fAim;
    std::vector<uint8_t> fOld;
    TUsbFrame fPrevious;
    TPhaseCorrection fPC1{24}, fPC2{28};
};

TEST(SimOpticalStream, FramesCarryTheAimingPath) {
    struct TCase {
        uint16_t VersionHW, VersionFW;
        double Tolerance; // old boards: the phase correction is nearly, not quite, flat
    };
    for (TCase c : {TCase{5, 11, 1e-3}, TCase{2, 10, 0.5}}) {
        TSimOpticalStream stream({c.VersionHW, c.VersionFW});
        stream.SetCounter(0xFFFFFFFE);
        TDecoder decoder(c.VersionHW >= 5);
        TDecoded out;
        std::vector<TSimAimSample> aims;
        for (int i = 0; i < 400; ++i) {
            TSimAimSample aim;
            for (const auto& transfer : stream.NextFrame(&aim))
                decoder.Feed(transfer, out);
            aims.push_back(aim);
        }
        ASSERT_EQ(out.Points.size(), aims.size()) << c.VersionHW;
        int shots = 0;
        // Old boards average two frames' sums: their point lies between the two aims.
        for (size_t i = 1; i < aims.size(); ++i) {
            double x = c.VersionHW >= 5 ? aims[i].XMm : (aims[i].XMm + aims[i - 1].XMm) / 2;
            double y = c.VersionHW >= 5 ? aims[i].YMm : (aims[i].YMm + aims[i - 1].YMm) / 2;
            EXPECT_TRUE(out.Points[i].valid) << i;
            EXPECT_NEAR(out.Points[i].xmm, x, c.Tolerance) << i;
            EXPECT_NEAR(out.Points[i].ymm, y, c.Tolerance) << i;
            shots += aims[i].Shot;
        }
        EXPECT_GE(shots, 1);
        if (c.VersionHW >= 5) {
            EXPECT_EQ(out.Counters[0], 0xFFFFFFFEu);
            EXPECT_EQ(out.Counters[2], 0u); // wrapped
        }
    }
}

TEST(SimOpticalStream, InjectedFaultsAreCaught) {
    struct TCase {
        uint16_t VersionHW, VersionFW;
        TSimOpticalFault Fault;
        int Points;     // of 40 frames, one in 10 faulty
        int BadRecords; // walks that ended early
        int Invalid;
    };
    std::vector<TCase> cases{
        {5, 11, TSimOpticalFault::BadSize, 36, 4, 0},  {5, 11, TSimOpticalFault::BadMarker, 36, 4, 0},
        {5, 11, TSimOpticalFault::LoneHalf, 36, 0, 0}, {5, 11, TSimOpticalFault::NonFinite, 40, 0, 4},
        {2, 10, TSimOpticalFault::LoneHalf, 36, 0, 0},
    };
    for (const auto& c : cases) {
        TSimOpticalStreamSetup setup{c.VersionHW, c.VersionFW, c.Fault, 10};
        TSimOpticalStream stream(setup);
        TDecoder decoder(c.VersionHW >= 5);
        TDecoded out;
        for (int i = 0; i < 40; ++i)
            for (const auto& transfer : stream.NextFrame())
                decoder.Feed(transfer, out);
        EXPECT_EQ(int(out.Points.size()), c.Points) << int(c.Fault);
        EXPECT_EQ(out.BadRecords, c.BadRecords) << int(c.Fault);
        int invalid = 0;
        for (const auto& p : out.Points)
            invalid += !p.valid || !std::isfinite(p.xmm);
        EXPECT_EQ(invalid, c.Invalid) << int(c.Fault);
    }
}

} // namespace
