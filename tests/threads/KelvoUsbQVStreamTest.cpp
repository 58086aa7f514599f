// The camera sensor's stream, modes and templates end to end over the simulated bus.
#include "MyLib/KelvoUsbQV.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimCameraSensor.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

struct CameraStream : ::testing::Test {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};
    std::shared_ptr<TSimCameraSensorState> fState = std::make_shared<TSimCameraSensorState>();
    std::shared_ptr<TSimCameraSensor> fDevice;
    std::unique_ptr<TKelvoUsbQVSensor> fSensor;

    // Plugs a sensor that sends packets only when pushed, opens it, centres the window on the optical
    // centre and starts it.
    TKelvoUsbQVSensor& Start(uint16_t AHW, uint16_t AFW, TUsbDriverKind ADriver) {
        fState->VersionHW = AHW;
        fState->VersionFW = AFW;
        fState->AutoStream = false;
        fDevice = std::make_shared<TSimCameraSensor>(fState, ADriver);
        fBus.Plug(fDevice);
        fSensor = std::make_unique<TKelvoUsbQVSensor>(nullptr, fDevice->Path());
        EXPECT_TRUE(fSensor->Open());
        EXPECT_TRUE(fSensor->SetAdjustMode());
        EXPECT_TRUE(fSensor->Start());
        return *fSensor;
    }
    // Pushes AN packets and waits until the sensor has made a point of each.
    std::vector<TSimAimSample> Push(int AN) {
        std::vector<TSimAimSample> aims;
        const int before = fSensor->Points().Count();
        for (int i = 0; i < AN; ++i)
            aims.push_back(fDevice->PushStreamPacket());
        EXPECT_TRUE(fLoop.RunUntil([&] { return fSensor->Points().Count() >= before + AN; }, 10000));
        return aims;
    }
};

} // namespace

TEST_F(CameraStream, PointsFollowTheAimingPathOnEveryLayoutAndBinding) {
    struct TCase {
        uint16_t HW, FW, Protocol;
        TUsbDriverKind Driver;
    };
    for (TCase c : {TCase{3, 31, 18, TUsbDriverKind::Generic}, TCase{3, 31, 18, TUsbDriverKind::Family},
                    TCase{2, 16, 16, TUsbDriverKind::Generic}, TCase{3, 12, 11, TUsbDriverKind::Family},
                    TCase{2, 10, 10, TUsbDriverKind::Generic}, TCase{1, 10, 2, TUsbDriverKind::Family},
                    TCase{1, 9, 1, TUsbDriverKind::Generic}}) {
        SCOPED_TRACE(testing::Message() << c.HW << "/" << c.FW);
        fState = std::make_shared<TSimCameraSensorState>();
        fState->ProtocolMajor = c.Protocol;
        fState->StreamFirstIndex = 65534;
        TKelvoUsbQVSensor& sensor = Start(c.HW, c.FW, c.Driver);
        EXPECT_EQ(c.Protocol, sensor.Stream().Protocol());
        sensor.Stream().SetUseXYFilter(false);
        const std::vector<TSimAimSample> aims = Push(30);
        const TPointsArray points = sensor.Points().Get();
        ASSERT_EQ(aims.size(), points.size());
        for (size_t i = 0; i < aims.size(); ++i) {
            EXPECT_TRUE(points[i].valid) << i;
            EXPECT_NEAR(aims[i].XMm, points[i].xmm, 1e-3) << i;
            EXPECT_NEAR(aims[i].YMm, points[i].ymm, 1e-3) << i;
            EXPECT_EQ((65534 + i) & 0xFFFF, points[i].dwSampleCounter);
            EXPECT_EQ(nullptr, points[i].ExtraData);
        }
        fSensor->Close();
        fBus.Unplug(*fDevice);
    }
}

TEST_F(CameraStream, ImagesOnRequest) {
    TKelvoUsbQVSensor& sensor = Start(3, 31, TUsbDriverKind::Generic);
    std::vector<TQVBitmap> images;
    sensor.SetOnImage([&](TKelvoUsbQVSensor*, const TQVDataPacket_V1&, const TQVBitmap& ABitmap) {
        images.push_back(ABitmap);
    });
    Push(2);
    EXPECT_TRUE(images.empty());
    ASSERT_TRUE(sensor.SetDataMode(3));
    Push(2);
    // The last image completes after its point: wait for it.
    ASSERT_TRUE(fLoop.RunUntil([&] { return images.size() >= 1; }, 10000));
    EXPECT_EQ(80, images[0].Width);
    EXPECT_EQ(80u * 80u, images[0].Pixels.size());
    ASSERT_TRUE(sensor.SetDataMode(6));
    Push(1);
    ASSERT_TRUE(fLoop.RunUntil([&] { return images.size() >= 3 && images.back().Width == 480; }, 20000));
    EXPECT_EQ(472, images.back().Height);
    EXPECT_EQ(0, fState->Working[28]) << "one whole image per request";
}

TEST_F(CameraStream, TemplatesAndModesFollowTheFirmware) {
    TKelvoUsbQVSensor& sensor = Start(3, 30, TUsbDriverKind::Generic);
    // Firmware 30: one template for the current row binning (4) in slot 0. Event 5 is a round
    // target whose 41 points take two load requests (21 and 20 items).
    uint32_t before = fDevice->VendorRequestCount();
    ASSERT_TRUE(sensor.SetShootingEvent(5));
    EXPECT_EQ(4u, fDevice->VendorRequestCount() - before);
    ASSERT_EQ(1u, fState->Templates.count(0));
    EXPECT_EQ(41u * 3, fState->Templates[0].Items.size());
    EXPECT_TRUE(fState->Templates[0].Finalized);
    EXPECT_EQ(50000, sensor.fWorkingDistance);
    before = fDevice->VendorRequestCount();
    EXPECT_FALSE(sensor.SetShootingEvent(4));
    EXPECT_EQ(before, fDevice->VendorRequestCount());

    sensor.Close();
    fBus.Unplug(*fDevice);
    fState = std::make_shared<TSimCameraSensorState>();
    TKelvoUsbQVSensor& newer = Start(3, 31, TUsbDriverKind::Family);
    ASSERT_TRUE(newer.SetShootingEvent(1));
    for (uint16_t slot : {1, 2, 4})
        EXPECT_TRUE(fState->Templates[slot].Finalized) << slot;
    EXPECT_EQ(10000, newer.fWorkingDistance);
    // A template that is not valid is initialised and not loaded.
    TTargetTemplate small = {{1, 0, 1}};
    EXPECT_FALSE(newer.SetTargetTemplate(small, false, 10));
    EXPECT_TRUE(fState->Templates[1].Items.empty());
    EXPECT_EQ(10000, newer.fWorkingDistance);

    ASSERT_TRUE(newer.SetModeEx(3, 2, 100, 120, 64, 2));
    EXPECT_EQ(3, fState->Mode);
    EXPECT_EQ(100, fState->X0);
    EXPECT_EQ(64, newer.fFrameWidth);
    EXPECT_DOUBLE_EQ(100 * newer.fPixToMMScale, newer.Stream().CX());
    ASSERT_TRUE(newer.SetMainMode(300, 200));
    EXPECT_EQ(2, fState->Mode);
    EXPECT_DOUBLE_EQ(200 * newer.fPixToMMScale, newer.Stream().CY());
}

// Every kind of hostile input on either binding: the bad packets are lost, the others become points
// and no value that is not a number reaches a valid point.
TEST_F(CameraStream, HostileStreamsLoseOnlyTheirBadPackets) {
    struct TCase {
        TSimCameraFault Fault;
        TUsbDriverKind Driver;
        bool Counted; // the stream counts dropped bytes or refused blocks (a cut record spoils the next read)
    };
    std::vector<TCase> cases;
    const auto family = TUsbDriverKind::Family, generic = TUsbDriverKind::Generic;
    for (TSimCameraFault fault : {TSimCameraFault::BadSize, TSimCameraFault::BadMarker,
                                  TSimCameraFault::BadHeader, TSimCameraFault::BadIndex})
        for (TUsbDriverKind driver : {family, generic})
            cases.push_back({fault, driver, true});
    for (TSimCameraFault fault :
         {TSimCameraFault::NonFinite, TSimCameraFault::OversizedRead, TSimCameraFault::ShortFault})
        for (TUsbDriverKind driver : {family, generic})
            cases.push_back({fault, driver, fault == TSimCameraFault::OversizedRead && driver == family});
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.Fault) << " " << int(c.Driver));
        fState = std::make_shared<TSimCameraSensorState>();
        fState->StreamFault = c.Fault;
        fState->StreamFaultEvery = 4;
        fState->Working[28] = 3; // images, for the faults that break them
        TKelvoUsbQVSensor& sensor = Start(3, 31, c.Driver);
        for (int i = 0; i < 41; ++i)
            fDevice->PushStreamPacket();
        // Everything sent was read (a cut record may take the read after it along), then handed over.
        ASSERT_TRUE(fLoop.RunUntil(
            [&] {
                return fDevice->PendingStreamBytes() == 0 && fDevice->PendingPackets(SIM_PIPE_DATA_IN) == 0 &&
                       fDevice->WaitingReads() > 0;
            },
            10000));
        fLoop.RunUntil([] { return false; }, 200);
        const TPointsArray points = sensor.Points().Get();
        int valid = 0;
        for (const TQueuedPoint_V1& p : points) {
            valid += p.valid;
            EXPECT_TRUE(!p.valid || (std::isfinite(p.xmm) && std::isfinite(p.ymm)));
        }
        EXPECT_GE(valid, 28);
        EXPECT_EQ(c.Counted, sensor.Stream().DroppedBytes() + sensor.Stream().RefusedBlocks() > 0);
        if (c.Fault == TSimCameraFault::NonFinite) {
            EXPECT_EQ(31, valid);
        }
        fSensor->Close();
        fBus.Unplug(*fDevice);
    }
}
