#include "sim/SimBus.h"
#include "platform/StdEventLoop.h"
#include "platform/WinError.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

namespace {

const TGUID kClass = GuidFromString("{B3518672-0A64-4F6F-B482-4A018271965D}");

// A device that can be opened; its handle serves nothing, only its existence is checked.
class TProbe : public TSimBusDevice {
public:
    TGUID InterfaceClass() const override { return kClass; }
    std::string PathName() const override { return "VID_2A5C&PID_0020"; }
    uint32_t OpenHandle(std::unique_ptr<TUsbHandle>&) override {
        ++fOpened;
        return ERROR_ACCESS_DENIED; // distinguishable from the bus's own "not present"
    }
    void Attached(TSimBus& ABus, const std::string& APath) override {
        ++fAttached;
        fBus = &ABus;
        fPath = APath;
    }
    void Detached() override { ++fDetached; }

    std::atomic<int> fOpened{0}, fAttached{0}, fDetached{0};
    TSimBus* fBus = nullptr;
    std::string fPath;
};

struct TSink : TDeviceChangeSink {
    void DeviceChange(uint32_t AEvent, const TGUID& AClass, const std::string& APath) override {
        EXPECT_EQ(kClass, AClass);
        fEvents.push_back({AEvent, APath});
    }
    std::vector<std::pair<uint32_t, std::string>> fEvents;
};

} // namespace

TEST(SimBus, PlugAndUnplugTellTheDeviceAndReportOncePerSink) {
    TStdEventLoop loop;
    TSimBus bus(loop);
    TSink a, b;
    uint32_t error = 1;
    const uintptr_t a1 = bus.RegisterDeviceNotification(&a, kClass, error);
    EXPECT_EQ(0u, error);
    const uintptr_t a2 = bus.RegisterDeviceNotification(&a, kClass, error);
    const uintptr_t b1 = bus.RegisterDeviceNotification(&b, kClass, error);
    EXPECT_NE(0u, a1);
    EXPECT_NE(a1, a2);

    auto device = std::make_shared<TProbe>();
    const std::string path = bus.Plug(device);
    EXPECT_EQ(path, bus.Plug(device)); // already present: same path, no second report
    EXPECT_EQ(1, device->fAttached.load());
    EXPECT_EQ(path, device->fPath);
    EXPECT_EQ(&bus, device->fBus);
    EXPECT_EQ(path, bus.PathOf(*device));
    EXPECT_TRUE(bus.HasPendingReports());
    loop.ProcessMessages();
    EXPECT_FALSE(bus.HasPendingReports());
    ASSERT_EQ(1u, a.fEvents.size()); // registered twice, reported once
    EXPECT_EQ(DBT_DEVICEARRIVAL, a.fEvents[0].first);
    EXPECT_EQ(path, a.fEvents[0].second);
    EXPECT_EQ(1u, b.fEvents.size());

    EXPECT_TRUE(bus.Unplug(*device));
    EXPECT_FALSE(bus.Unplug(*device));
    EXPECT_EQ(1, device->fDetached.load());
    EXPECT_EQ("", bus.PathOf(*device));
    // b withdraws before the queued removal runs; a still holds one of its two registrations.
    bus.UnregisterDeviceNotification(b1);
    bus.UnregisterDeviceNotification(a1);
    loop.ProcessMessages();
    ASSERT_EQ(2u, a.fEvents.size());
    EXPECT_EQ(DBT_DEVICEREMOVECOMPLETE, a.fEvents[1].first);
    EXPECT_EQ(1u, b.fEvents.size());
}

TEST(SimBus, OpenFindsOnlyPresentPathsWithoutRegardToCase) {
    TStdEventLoop loop;
    TSimBus bus(loop);
    auto device = std::make_shared<TProbe>();
    std::unique_ptr<TUsbHandle> handle;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, bus.Open("\\\\?\\usb#nothing", handle));
    const std::string first = bus.Plug(device);
    std::string path = first;
    for (char& c : path)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(ERROR_ACCESS_DENIED, bus.Open(path, handle)); // reached the device
    EXPECT_EQ(1, device->fOpened.load());
    bus.Unplug(*device);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, bus.Open(path, handle));
    EXPECT_EQ(1, device->fOpened.load());
    // Replugged, the device is a new interface with a new path.
    EXPECT_NE(first, bus.Plug(device));

    EXPECT_TRUE(bus.GenericDriverAvailable());
    bus.SetGenericDriverAvailable(false);
    EXPECT_FALSE(bus.GenericDriverAvailable());
}

TEST(SimBus, DelayedPlugHappensLaterAndIsCancelledWithTheBus) {
    TStdEventLoop loop;
    auto later = std::make_shared<TProbe>();
    auto never = std::make_shared<TProbe>();
    {
        TSimBus bus(loop);
        TSink sink;
        uint32_t error;
        bus.RegisterDeviceNotification(&sink, kClass, error);
        bus.PlugAfter(later, 10);
        bus.PlugAfter(never, 60000);
        EXPECT_TRUE(bus.HasPendingReports());
        ASSERT_TRUE(loop.RunUntil([&] { return !sink.fEvents.empty(); }, 5000));
        EXPECT_EQ(bus.PathOf(*later), sink.fEvents[0].second);
        EXPECT_TRUE(bus.HasPendingReports()); // the long delay still waits
    }
    EXPECT_EQ(1, later->fAttached.load());
    EXPECT_EQ(0, never->fAttached.load());
}

TEST(SimBus, ConcurrentPlugsAndUnplugsKeepReportsPaired) {
    TStdEventLoop loop;
    TSimBus bus(loop);
    TSink sink;
    uint32_t error;
    bus.RegisterDeviceNotification(&sink, kClass, error);
    std::vector<std::thread> benches;
    for (int t = 0; t < 4; ++t)
        benches.emplace_back([&] {
            auto device = std::make_shared<TProbe>();
            for (int i = 0; i < 50; ++i) {
                bus.Plug(device);
                bus.Unplug(*device);
            }
        });
    for (auto& t : benches)
        t.join();
    ASSERT_TRUE(loop.RunUntil([&] { return !bus.HasPendingReports(); }, 5000));
    ASSERT_EQ(400u, sink.fEvents.size());
    // Per path: one arrival, then one removal.
    std::map<std::string, std::vector<uint32_t>> byPath;
    for (const auto& [event, path] : sink.fEvents)
        byPath[path].push_back(event);
    EXPECT_EQ(200u, byPath.size());
    for (const auto& [path, events] : byPath)
        EXPECT_EQ((std::vector<uint32_t>{DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE}), events) << path;
}

TEST(SimBus, PlugObserversHearOfPresentDevicesThenOfEachPlugAndUnplugInOrder) {
    TStdEventLoop loop;
    TSimBus bus(loop);
    auto first = std::make_shared<TProbe>();
    auto second = std::make_shared<TProbe>();
    bus.Plug(first);
    std::vector<std::pair<TSimBusDevice*, bool>> heard;
    const uint64_t id =
        bus.AddPlugObserver([&](const std::shared_ptr<TSimBusDevice>& ADevice, bool APlugged) {
            // Told after the device itself.
            EXPECT_EQ(static_cast<TProbe&>(*ADevice).fAttached + static_cast<TProbe&>(*ADevice).fDetached,
                      APlugged ? 1 : 2);
            heard.emplace_back(ADevice.get(), APlugged);
        });
    bus.Plug(second);
    bus.Unplug(*first);
    bus.RemovePlugObserver(id);
    bus.Unplug(*second);
    const std::vector<std::pair<TSimBusDevice*, bool>> expected = {
        {first.get(), true}, {second.get(), true}, {first.get(), false}};
    EXPECT_EQ(heard, expected);
}
