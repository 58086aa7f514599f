#include "MyLib/CommonKelvoUsbDevice.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "tests/support/TestKelvoDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// Collects arrival and removal reports of one interface class.
struct TReports : TDeviceChangeSink {
    void DeviceChange(uint32_t AEvent, const TGUID&, const std::string& APath) override {
        fEvents.push_back({AEvent, APath});
    }
    std::vector<std::pair<uint32_t, std::string>> fEvents;
};

struct TDeviceBench : ::testing::Test {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};

    bool RunUntil(const std::function<bool()>& APredicate) { return fLoop.RunUntil(APredicate, 10000); }

    // A host-side device recording what it receives and where.
    struct TReceived {
        std::vector<std::vector<uint8_t>> Data, Events;
        std::vector<char> Order;
        int OffMainThread = 0;
    };
    void Record(TTestKelvoDevice& ADevice, TReceived& AInto) {
        ADevice.fOnData = [this, &AInto](TCommonKelvoUsbDevice*, const uint8_t* ABuffer, uint32_t ASize) {
            AInto.OffMainThread += !fLoop.IsMainThread();
            AInto.Data.emplace_back(ABuffer, ABuffer + ASize);
            AInto.Order.push_back('D');
        };
        ADevice.fOnEvent = [this, &AInto](TCommonKelvoUsbDevice*, const uint8_t* ABuffer, uint32_t ASize) {
            AInto.OffMainThread += !fLoop.IsMainThread();
            AInto.Events.emplace_back(ABuffer, ABuffer + ASize);
            AInto.Order.push_back('E');
        };
    }
};

struct TBindingCase {
    TUsbDriverKind Driver;
    bool Synchronize;
};

class CommonDeviceBinding : public TDeviceBench, public ::testing::WithParamInterface<TBindingCase> {};

using CommonDevice = TDeviceBench;

} // namespace

TEST_P(CommonDeviceBinding, OpensReadsIdentityAndDeliversDataAndEvents) {
    const TBindingCase param = GetParam();
    auto fw = PlugTestFirmware(fBus, param.Driver);
    TTestKelvoDevice device(nullptr, fw->Path());
    device.fSynchronizeThread = param.Synchronize;
    TReceived got;
    Record(device, got);
    ASSERT_TRUE(device.Open());

    const bool generic = param.Driver == TUsbDriverKind::Generic;
    EXPECT_EQ(generic, device.IsWinUsb());
    EXPECT_EQ(generic ? 2u : 0u, device.PipeReaderCount());
    EXPECT_EQ(generic, device.ReadThread() == nullptr);
    EXPECT_EQ(generic ? "WinUsb" : "0x217", device.fDriverVersionStr);
    EXPECT_EQ(generic ? 0 : 0x217, device.fDriverVersion);
    EXPECT_EQ(!generic, device.fLogAvailable);
    EXPECT_TRUE(device.fDeviceDescriptorValid);
    EXPECT_EQ(32, device.fProductId);
    EXPECT_EQ(0x0112, device.fDeviceDescriptor.bcdDevice);
    EXPECT_EQ((TSerialNum{1, 2, 3, 4, 5, 6, 7, 8}), device.fSerialNum);
    EXPECT_TRUE(device.fSerialNumValid);
    EXPECT_EQ(4, device.fVersionHW);
    EXPECT_EQ(12, device.fVersionFW);
    EXPECT_TRUE(device.fLocked);
    EXPECT_EQ(KELVO_ALL_REGIONS, device.fRegions);
    EXPECT_EQ(2, device.fProtocolVersionMajor);
    EXPECT_EQ(7, device.fProtocolVersionMinor);
    EXPECT_EQ(1, device.fProtocolChanges);
    uint32_t logSize = 0;
    EXPECT_EQ(!generic, device.GetLogSize(logSize));

    for (uint8_t i = 0; i < 30; ++i) {
        fw->PushData({i, 0xD0});
        if (i % 3 == 0)
            fw->PushEvent({i});
    }
    fw->PushData({});
    ASSERT_TRUE(RunUntil([&] { return got.Data.size() >= 30 && got.Events.size() >= 10; }));
    for (uint8_t i = 0; i < 30; ++i)
        EXPECT_EQ((std::vector<uint8_t>{i, 0xD0}), got.Data[i]);
    for (uint8_t i = 0; i < 10; ++i)
        EXPECT_EQ(std::vector<uint8_t>{uint8_t(3 * i)}, got.Events[i]);
    if (!generic) { // one stream: data and events keep their relative order
        EXPECT_EQ("DEDDDEDD", std::string(got.Order.begin(), got.Order.begin() + 8));
    }
    EXPECT_EQ(0, got.OffMainThread);

    // Requests from the main thread while the readers run.
    TDeviceKey key = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_TRUE(device.Unlock(key));
    EXPECT_FALSE(device.fLocked);
    bool locked = true;
    ASSERT_TRUE(device.GetLocked(locked));
    EXPECT_FALSE(locked);
    device.Close();
    EXPECT_FALSE(device.Opened());
    EXPECT_EQ(0u, device.PipeReaderCount());
    EXPECT_EQ(4, device.fVersionHW); // identity stays after Close
}

INSTANTIATE_TEST_SUITE_P(Bindings, CommonDeviceBinding,
                         ::testing::Values(TBindingCase{TUsbDriverKind::Family, true},
                                           TBindingCase{TUsbDriverKind::Family, false},
                                           TBindingCase{TUsbDriverKind::Generic, true},
                                           TBindingCase{TUsbDriverKind::Generic, false}));

TEST_F(CommonDevice, TheGenericDriverIsUsedOnlyWhereItIsBound) {
    auto fw = PlugTestFirmware(fBus, TUsbDriverKind::Family);
    TTestKelvoDevice device(nullptr, fw->Path());
    ASSERT_TRUE(device.Open()); // the system has the generic driver, the device is not bound to it
    EXPECT_FALSE(device.IsWinUsb());
    EXPECT_NE(nullptr, device.ReadThread());
    device.Close();

    fBus.SetGenericDriverAvailable(false);
    auto other = PlugTestFirmware(fBus, TUsbDriverKind::Family);
    TTestKelvoDevice second(nullptr, other->Path());
    ASSERT_TRUE(second.Open());
    EXPECT_FALSE(second.IsWinUsb());
    EXPECT_EQ(0x217, second.fDriverVersion);
}

TEST_F(CommonDevice, IdentityFailuresLeaveDefaults) {
    auto fw = PlugTestFirmware(fBus, TUsbDriverKind::Family);
    fw->SetVendorHandler(TEST_REQ_VERSION, nullptr);
    fw->SetVendorHandler(TEST_REQ_LOCKED, nullptr);
    fw->SetVendorHandler(TEST_REQ_SERIAL, nullptr);
    fw->fState->Locked = false;
    fw->SetDriverVersion(0); // too old to answer
    TTestKelvoDevice device(nullptr, fw->Path());
    device.fPollReads = false;
    ASSERT_TRUE(device.Open());
    EXPECT_EQ(nullptr, device.ReadThread());
    EXPECT_EQ(1, device.fVersionHW);
    EXPECT_EQ(1, device.fVersionFW);
    EXPECT_TRUE(device.fLocked);
    EXPECT_FALSE(device.fSerialNumValid);
    EXPECT_EQ(NoSerialNum, device.fSerialNum);
    EXPECT_EQ(256, device.fDriverVersion);
    EXPECT_EQ("Early", device.fDriverVersionStr);
    EXPECT_FALSE(device.fDeviceDescriptorValid); // not even asked
    EXPECT_EQ(0, device.fProductId);
    device.Close();

    TTestKelvoDevice quiet(nullptr, fw->Path());
    quiet.fGetInfoAfterOpen = false;
    uint32_t before = fw->VendorRequestCount();
    ASSERT_TRUE(quiet.Open());
    EXPECT_EQ(before, fw->VendorRequestCount());
    EXPECT_EQ(0, quiet.fVersionHW);
}

TEST_F(CommonDevice, DriverVersionDecidesLogAndDescriptor) {
    auto fw = PlugTestFirmware(fBus, TUsbDriverKind::Family);
    TTestKelvoDevice device(nullptr, fw->Path());
    device.fPollReads = false;
    fw->SetDriverVersion(0x216);
    ASSERT_TRUE(device.Open());
    EXPECT_FALSE(device.fLogAvailable);
    EXPECT_EQ("0x216", device.fDriverVersionStr);
    EXPECT_TRUE(device.fDeviceDescriptorValid);
    device.Close();

    fw->SetDriverVersion(0x217);
    device.fEnableLogAfterOpen = true;
    ASSERT_TRUE(device.Open());
    EXPECT_TRUE(device.fLogAvailable);
    uint32_t size = 0;
    ASSERT_TRUE(device.GetLogSize(size));
    EXPECT_GT(size, 0u); // the identity requests after EnableLog were logged
    std::vector<char> text(size);
    uint32_t got = 0;
    ASSERT_TRUE(device.GetLog(text.data(), size, got));
    EXPECT_EQ(size, got);
    EXPECT_NE(std::string::npos, std::string(text.begin(), text.end()).find(" 8B "));
    EXPECT_TRUE(device.ClearLog());
    ASSERT_TRUE(device.GetLogSize(size));
    EXPECT_EQ(0u, size);
    EXPECT_TRUE(device.DisableLog());
    uint16_t version = 0;
    EXPECT_TRUE(device.GetDriverVersion(&version));
    EXPECT_EQ(0x217, version);
}

TEST_F(CommonDevice, TransportOnBothPathsAndRequestRecords) {
    for (TUsbDriverKind kind : {TUsbDriverKind::Family, TUsbDriverKind::Generic}) {
        auto fw = PlugTestFirmware(fBus, kind);
        std::vector<uint8_t> written;
        fw->SetVendorHandler(0x30, [&](const TSimVendorRequest& AReq, std::vector<uint8_t>& AAnswer) {
            if (AReq.DeviceToHost()) {
                AAnswer = {0xA1, 0xA2, 0xA3};
                return true;
            }
            written = AReq.Data;
            written.push_back(uint8_t(AReq.wValue));
            return true;
        });
        TTestKelvoDevice device(nullptr, fw->Path());
        ASSERT_TRUE(device.Open());

        uint8_t buf[8] = {};
        uint32_t wasRead = 0;
        EXPECT_TRUE(device.VendorRequestRead(buf, 8, 0x30, 0, 0, wasRead)); // fewer bytes: the count tells
        EXPECT_EQ(3u, wasRead);
        EXPECT_FALSE(device.VendorRequestRead(buf, 8, 0x30, 0, 0)); // the exact form wants all 8
        EXPECT_TRUE(device.VendorRequestRead(buf, 3, 0x30, 0, 0));
        EXPECT_FALSE(device.VendorRequestRead(buf, 0x10000, 0x30, 0, 0)); // cannot be described in 16 bits
        const uint8_t data[] = {1, 2};
        EXPECT_TRUE(device.VendorRequestWrite(data, 2, 0x30, 7, 0));
        EXPECT_EQ((std::vector<uint8_t>{1, 2, 7}), written);
        EXPECT_TRUE(device.VendorRequest(0x30, 9, 0));
        EXPECT_EQ(std::vector<uint8_t>{9}, written);
        EXPECT_FALSE(device.VendorRequest(0x31, 0, 0)); // stalled

        TVendorRequest read;
        read.bDirection = 0xC0;
        read.bRequest = 0x30;
        read.wLength = 5;
        ASSERT_TRUE(device.VendorRequest(read));
        EXPECT_EQ(3u, read.wWasRead);
        EXPECT_EQ((std::vector<uint8_t>{0xA1, 0xA2, 0xA3, 0, 0}), read.Buffer);
        TVendorRequest write(0x30, 4, 0, 3, "xyz");
        ASSERT_TRUE(device.VendorRequest(write));
        EXPECT_EQ((std::vector<uint8_t>{'x', 'y', 'z', 4}), written);
        // A record whose data went missing is not executed.
        write.Buffer.clear();
        EXPECT_FALSE(device.VendorRequest(write));

        // Family-driver codes: through the legacy driver only.
        const uint8_t level[2] = {0xFF, 0x0F};
        EXPECT_EQ(kind == TUsbDriverKind::Family, device.IoControl(0x815, level, 2));
        EXPECT_EQ(kind == TUsbDriverKind::Family, device.DeviceControl(data, nullptr, 2, 0, 0x30, 3, 0));
        EXPECT_EQ(kind == TUsbDriverKind::Family, device.DeviceControl(0x30, 1, 0));
        if (kind == TUsbDriverKind::Family) {
            EXPECT_EQ(0x0FFF, fw->fState->Level);
        } else {
            EXPECT_FALSE(device.EnableLog());
        }
        device.Close();
        EXPECT_FALSE(device.VendorRequest(0x30, 0, 0)); // closed
        fBus.Unplug(*fw);
    }
}

TEST_F(CommonDevice, EveryFaultKindIsReportedAsFailure) {
    for (TUsbDriverKind kind : {TUsbDriverKind::Family, TUsbDriverKind::Generic}) {
        auto fw = PlugTestFirmware(fBus, kind);
        fw->SetUnansweredLimit(std::chrono::milliseconds(300));
        TTestKelvoDevice device(nullptr, fw->Path());
        device.fRequestTimeout = 30;
        ASSERT_TRUE(device.Open());
        uint32_t n = fw->VendorRequestCount();
        fw->SetFault(n + 1, {TSimFaultKind::Fail});
        fw->SetFault(n + 2, {TSimFaultKind::Stall});
        fw->SetFault(n + 3, {TSimFaultKind::Short, 0, 1});
        fw->SetFault(n + 4, {TSimFaultKind::Short, 0, 1});
        fw->SetFault(n + 5, {TSimFaultKind::Timeout});
        fw->SetFault(n + 6, {TSimFaultKind::DropOff});
        TProtocolVersion version{};
        EXPECT_FALSE(device.GetProtocolVersion(&version));
        EXPECT_FALSE(device.GetProtocolVersion(&version));
        EXPECT_FALSE(device.GetProtocolVersion(&version)); // 3 of 4 bytes
        uint8_t buf[4];
        uint32_t wasRead = 0;
        EXPECT_TRUE(device.VendorRequestRead(buf, 4, 0x45, 0, 0, wasRead));
        EXPECT_EQ(3u, wasRead);
        // The device never answers: the request fails after the time-out, and the request the
        // driver still holds completes later without harm.
        EXPECT_FALSE(device.CheckStubInfo());
        TReports removals;
        uint32_t error;
        uintptr_t reg = fBus.RegisterDeviceNotification(&removals, SimInterfaceClassOf(32), error);
        EXPECT_FALSE(device.GetStubVersion(nullptr)); // drops off the bus
        EXPECT_FALSE(device.GetStubVersion(nullptr));
        ASSERT_TRUE(RunUntil([&] { return !removals.fEvents.empty(); }));
        EXPECT_EQ(DBT_DEVICEREMOVECOMPLETE, removals.fEvents[0].first);
        EXPECT_EQ(device.DevicePath(), removals.fEvents[0].second);
        if (kind == TUsbDriverKind::Family) {
            ASSERT_TRUE(RunUntil([&] { return device.ReadThread()->Ended(); }));
        }
        fBus.UnregisterDeviceNotification(reg);
        device.Close();
        // Let the abandoned request run out under the sanitizers.
        std::this_thread::sleep_for(std::chrono::milliseconds(kind == TUsbDriverKind::Family ? 50 : 0));
    }
}

TEST_F(CommonDevice, BootloaderRequestsAndGates) {
    auto fw = PlugTestFirmware(fBus, TUsbDriverKind::Family);
    TTestKelvoDevice device(nullptr, fw->Path());
    ASSERT_TRUE(device.Open());
    TKelvoStubVersion stub{};
    ASSERT_TRUE(device.GetStubVersion(&stub));
    EXPECT_EQ(5, stub.ActualStubVersion);
    EXPECT_EQ(6, device.fStubCodeVersion);

    uint32_t before = fw->VendorRequestCount();
    device.fVersionHW = 5;
    device.fVersionFW = 10;
    EXPECT_FALSE(device.CheckStubInfo()); // nothing sent
    EXPECT_EQ(before, fw->VendorRequestCount());
    device.fVersionHW = 4;
    EXPECT_TRUE(device.CheckStubInfo());
    device.fVersionHW = 5;
    device.fVersionFW = 11;
    EXPECT_TRUE(device.CheckStubInfo());
    EXPECT_EQ(2, fw->fState->StubInfoChecks);

    device.fActualStubVersion = 2;
    EXPECT_TRUE(device.HasUsb30CompatibilityIssue());
    device.fTransceiver = KELVO_USB_MSP430X5XX;
    EXPECT_FALSE(device.HasUsb30CompatibilityIssue());
    device.fTransceiver = KELVO_USB_D12;
    device.fActualStubVersion = 0xFFFF;
    EXPECT_TRUE(device.HasUsb30CompatibilityIssue());
    device.fActualStubVersion = 3;
    EXPECT_FALSE(device.HasUsb30CompatibilityIssue());

    TReports stubs;
    uint32_t error;
    uintptr_t reg = fBus.RegisterDeviceNotification(&stubs, SIM_STUB_INTERFACE_CLASS, error);
    ASSERT_TRUE(device.SwitchToStub());
    ASSERT_TRUE(RunUntil([&] { return !stubs.fEvents.empty(); }));
    EXPECT_EQ(DBT_DEVICEARRIVAL, stubs.fEvents[0].first);
    TTestKelvoDevice boot(nullptr, stubs.fEvents[0].second);
    boot.fGetInfoAfterOpen = false;
    ASSERT_TRUE(boot.Open());
    TSerialNum serial;
    ASSERT_TRUE(boot.GetSerialNum(&serial));
    EXPECT_EQ(device.fSerialNum, serial);
    fBus.UnregisterDeviceNotification(reg);
    device.Close();
}

TEST_F(CommonDevice, LegacyStreamParserStaysInsideTheBlock) {
    TTestKelvoDevice device(nullptr, "unused");
    TReceived got;
    Record(device, got);
    auto feed = [&](std::vector<uint8_t> ABytes) {
        // Exactly the block's size, so the sanitizers catch any read past it.
        TUsbBlock block(new uint8_t[ABytes.size() ? ABytes.size() : 1]);
        std::copy(ABytes.begin(), ABytes.end(), block.get());
        device.ProcessData(std::move(block), uint32_t(ABytes.size()));
    };
    feed({0x44, 0, 0, 0, 0, 0x88, 2, 0, 0, 0, 7, 8}); // zero-length data, then an event
    EXPECT_EQ("DE", std::string(got.Order.begin(), got.Order.end()));
    EXPECT_TRUE(got.Data[0].empty());
    EXPECT_EQ((std::vector<uint8_t>{7, 8}), got.Events[0]);

    got = {};
    feed({});
    feed({0x44});                               // header cut after the type
    feed({0x44, 1, 0, 0});                      // header cut inside the length
    feed({0x44, 3, 0, 0, 0, 1, 2});             // payload longer than the block
    feed({0x44, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2}); // length that would wrap an offset
    feed({0x88, 0xFB, 0xFF, 0xFF, 0xFF});       // length + header wraps to 0
    EXPECT_TRUE(got.Order.empty());

    feed({0x44, 1, 0, 0, 0, 5, 0x12, 0, 0, 0, 0, 0x88, 0, 0, 0, 0}); // unknown type ends the block
    EXPECT_EQ("D", std::string(got.Order.begin(), got.Order.end()));
    got = {};
    feed({0x88, 1, 0, 0, 0, 6, 0x44, 2, 0, 0, 0, 1}); // good record, then a cut one
    EXPECT_EQ("E", std::string(got.Order.begin(), got.Order.end()));
}

TEST_F(CommonDevice, TextFormsAndLog) {
    TTestKelvoDevice device(nullptr, "unused");
    EXPECT_EQ("Generic KELVO USB device", device.ModelDescription());
    EXPECT_FALSE(device.CanChangeRegions());
    EXPECT_TRUE(device.NeedToRecoverOptionsAfterUpdate());
    EXPECT_FALSE(device.SetRegions(1, nullptr));
    uint16_t regions = 0;
    ASSERT_TRUE(device.GetRegions(&regions));
    EXPECT_EQ(0xFFF, regions);
    EXPECT_EQ("ALL", device.RegionsStr());
    device.fRegions = 0xFFE;
    EXPECT_EQ("~RU", device.RegionsStr());
    device.fRegions = 0x005;
    EXPECT_EQ("RU,US", device.RegionsStr());
    device.fRegions = 0x3FF;
    EXPECT_EQ("RU,EU,US,AF,ME,LA,CA,AS,OC,UK", device.RegionsStr());
    device.fRegions = 0xC00; // only unnamed bits
    EXPECT_EQ("", device.RegionsStr());
    device.fRegions = 0;
    EXPECT_EQ("", device.RegionsStr());

    device.fRegions = 0xFFF;
    EXPECT_EQ("KX:" + Code128Word(0xFFF) + Code128Serial(NoSerialNum), device.Code128());
    EXPECT_EQ(17u, device.Code128().size());

    std::vector<std::string> lines;
    int fired = 0;
    device.fLog = &lines;
    device.fOnLog = [&](TCommonKelvoUsbDevice*) { ++fired; };
    device.Log("quiet");
    EXPECT_TRUE(lines.empty());
    device.fLogging = true;
    device.Log("one");
    device.Log("two");
    EXPECT_EQ((std::vector<std::string>{"one", "two"}), lines);
    EXPECT_EQ(2, fired);
}

TEST_P(CommonDeviceBinding, CloseUnderTrafficAndUnplugDuringReadsEndTheReaders) {
    const TBindingCase param = GetParam();
    for (bool unplug : {false, true}) {
        auto fw = PlugTestFirmware(fBus, param.Driver);
        TTestKelvoDevice device(nullptr, fw->Path());
        device.fSynchronizeThread = param.Synchronize;
        TReceived got;
        Record(device, got);
        ASSERT_TRUE(device.Open());
        std::atomic<bool> stop{false};
        std::thread pusher([&] {
            for (uint8_t i = 0; !stop; ++i) {
                if (fw->PendingStreamBytes() < 50000 && fw->PendingPackets(SIM_PIPE_DATA_IN) < 1000) {
                    fw->PushData(std::vector<uint8_t>(48, i));
                    fw->PushEvent({i});
                } else {
                    std::this_thread::yield();
                }
            }
        });
        ASSERT_TRUE(RunUntil([&] { return got.Data.size() >= 200 && got.Events.size() >= 50; }));
        if (unplug) {
            std::thread([&] { fBus.Unplug(*fw); }).join();
            // The readers see the removal and end by themselves, with the device still open.
            ASSERT_TRUE(RunUntil([&] {
                if (!device.IsWinUsb())
                    return device.ReadThread()->Ended();
                return device.PipeReader(0).Ended() && device.PipeReader(1).Ended();
            }));
            EXPECT_TRUE(device.Opened());
        }
        device.Close();
        stop = true;
        pusher.join();
        const std::size_t seen = got.Data.size();
        fLoop.ProcessMessages();
        EXPECT_EQ(seen, got.Data.size()); // nothing reaches a closed device
        EXPECT_EQ(0, got.OffMainThread);
        if (!unplug)
            fBus.Unplug(*fw);
        fLoop.ProcessMessages();
    }
}
