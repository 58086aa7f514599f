#include "MyLib/DevMan.h"
#include "MyLib/devintf.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "platform/WinError.h"
#include "sim/SimBus.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace {

const TGUID kSensors = GuidFromString("{B3518672-0A64-4F6F-B482-4A018271965D}");
const TGUID kTargets = GuidFromString("{6DD29847-8B42-4AB4-AB06-4B9BF751334C}");

// Only presence matters here: the device is never opened.
class TPresence : public TSimBusDevice {
public:
    TPresence(TGUID AClass, std::string AName) : fClass(AClass), fName(std::move(AName)) {}
    TGUID InterfaceClass() const override { return fClass; }
    std::string PathName() const override { return fName; }
    uint32_t OpenHandle(std::unique_ptr<TUsbHandle>&) override { return ERROR_NOT_SUPPORTED; }
    void Attached(TSimBus&, const std::string&) override {}
    void Detached() override {}

private:
    TGUID fClass;
    std::string fName;
};

struct TReport {
    std::string What; // handler that ran
    TGUID Guid;
    std::string Path;
};

class DevManTest : public ::testing::Test {
protected:
    DevManTest() : fBus(fLoop), fScope(fLoop, fBus) {}

    std::shared_ptr<TPresence> Device(const TGUID& AClass, const std::string& AName) {
        return std::make_shared<TPresence>(AClass, AName);
    }
    TDeviceNotifyObj Record(const std::string& AWhat) {
        return [this, AWhat](TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName) {
            EXPECT_TRUE(fLoop.IsMainThread());
            EXPECT_TRUE(ASender != nullptr);
            fReports.push_back({AWhat, AGuid, AName});
        };
    }
    // Runs the loop until every plug and unplug report has been delivered.
    void Settle() {
        ASSERT_TRUE(fLoop.RunUntil([&] { return !fBus.HasPendingReports(); }, 5000));
    }

    TStdEventLoop fLoop;
    TSimBus fBus;
    TSystemScope fScope;
    std::vector<TReport> fReports;
};

std::vector<TReport>* gPlainReports = nullptr;
void PlainInsert(TDeviceNotifier*, const TGUID& AGuid, const std::string& AName) {
    gPlainReports->push_back({"plain-insert", AGuid, AName});
}
void PlainRemove(TDeviceNotifier*, const TGUID& AGuid, const std::string& AName) {
    gPlainReports->push_back({"plain-remove", AGuid, AName});
}

} // namespace

TEST_F(DevManTest, EnumerationListsPresentMembersOfOneClassInPlugOrder) {
    EXPECT_EQ(0, TUsbDeviceEnumerator(kSensors).Count());
    const auto a = Device(kSensors, "vid_2a5c&pid_0020");
    const auto other = Device(kTargets, "vid_2a5c&pid_0030");
    const auto b = Device(kSensors, "vid_2a5c&pid_0020");
    const std::string pathA = fBus.Plug(a);
    fBus.Plug(other);
    const std::string pathB = fBus.Plug(b);
    EXPECT_NE(pathA, pathB);

    TUsbDeviceEnumerator devices(kSensors);
    ASSERT_EQ(2, devices.Count());
    EXPECT_EQ(pathA, devices.DeviceInfo(0).fPath);
    EXPECT_EQ(0u, devices.DeviceInfo(0).fIndex);
    EXPECT_EQ(pathB, devices.DeviceInfo(1).fPath);
    EXPECT_EQ(1u, devices.DeviceInfo(1).fIndex);
    EXPECT_EQ(kSensors, devices.DeviceInfo(1).fGuid);

    // A snapshot: it changes only when enumerated again.
    fBus.Unplug(*a);
    EXPECT_EQ(2, devices.Count());
    devices.EnumDevices();
    ASSERT_EQ(1, devices.Count());
    EXPECT_EQ(pathB, devices.DeviceInfo(0).fPath);
    EXPECT_EQ(0u, devices.DeviceInfo(0).fIndex);
}

TEST_F(DevManTest, EnumerationEndsAtTheFirstMemberThatCannotBeRead) {
    const auto a = Device(kSensors, "a"), b = Device(kSensors, "b"), c = Device(kSensors, "c");
    const std::string pathA = fBus.Plug(a);
    fBus.Plug(b);
    fBus.Plug(c);
    fBus.SetDetailError(*b, ERROR_NOT_ENOUGH_MEMORY);
    TUsbDeviceEnumerator devices(kSensors);
    ASSERT_EQ(1, devices.Count()); // c is readable but comes after the failure
    EXPECT_EQ(pathA, devices.DeviceInfo(0).fPath);

    uint32_t status = 0;
    TDeviceInterfaceClass set(kSensors, status);
    ASSERT_EQ(ERROR_SUCCESS, status);
    uint32_t error = 0;
    EXPECT_EQ("", TDeviceInterface(set, 1, error).DevicePath());
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, error);
    TDeviceInterface(set, 3, error);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, error);

    fBus.SetClassDevsError(ERROR_ACCESS_DENIED);
    TDeviceInterfaceClass failed(kSensors, status);
    EXPECT_EQ(ERROR_ACCESS_DENIED, status);
    devices.EnumDevices();
    EXPECT_EQ(0, devices.Count());
}

TEST_F(DevManTest, FindDevicesReportsPresentDevicesOnceInRegistrationOrder) {
    const std::string target = fBus.Plug(Device(kTargets, "t"));
    const std::string sensor1 = fBus.Plug(Device(kSensors, "s1"));
    const std::string sensor2 = fBus.Plug(Device(kSensors, "s2"));
    Settle(); // nobody was registered: nothing is reported
    TDeviceNotifier notifier(nullptr);
    ASSERT_TRUE(notifier.AddInterface(kSensors, Record("sensor-in"), Record("sensor-out")));
    ASSERT_TRUE(notifier.AddInterface(kTargets, Record("target-in"), Record("target-out")));
    notifier.FindDevices();
    ASSERT_EQ(3u, fReports.size());
    EXPECT_EQ("sensor-in", fReports[0].What);
    EXPECT_EQ(sensor1, fReports[0].Path);
    EXPECT_EQ(kSensors, fReports[0].Guid);
    EXPECT_EQ(sensor2, fReports[1].Path);
    EXPECT_EQ("target-in", fReports[2].What);
    EXPECT_EQ(target, fReports[2].Path);
    Settle();
    EXPECT_EQ(3u, fReports.size());
}

TEST_F(DevManTest, PlugAndUnplugOnAnotherThreadReachTheHandlersOnTheMainThread) {
    TDeviceNotifier notifier(nullptr);
    ASSERT_TRUE(notifier.AddInterface(kSensors, Record("in"), Record("out")));
    const auto device = Device(kSensors, "vid_2a5c&pid_0020");
    std::string path;
    std::thread bench([&] {
        path = fBus.Plug(device);
        fBus.Unplug(*device);
        fBus.Plug(Device(kTargets, "unwatched"));
    });
    bench.join();
    Settle();
    ASSERT_EQ(2u, fReports.size());
    EXPECT_EQ("in", fReports[0].What);
    EXPECT_EQ(path, fReports[0].Path);
    EXPECT_EQ("out", fReports[1].What);
    EXPECT_EQ(path, fReports[1].Path);
    // A replugged device is a new interface with a path of its own.
    EXPECT_NE(path, fBus.Plug(device));
}

TEST_F(DevManTest, HandlerChoiceRecordObjectThenPlainThenNotifierWide) {
    std::vector<TReport> plain;
    gPlainReports = &plain;
    TDeviceNotifier notifier(nullptr);
    ASSERT_TRUE(notifier.AddInterface(kSensors)); // no handlers yet: falls through to the wide ones
    notifier.fOnInsertObj = Record("wide-in");
    notifier.fOnRemoveObj = Record("wide-out");
    ASSERT_TRUE(notifier.AddInterface(kTargets, PlainInsert, PlainRemove));
    const auto sensor = Device(kSensors, "s");
    const auto target = Device(kTargets, "t");
    fBus.Plug(sensor);
    fBus.Plug(target);
    Settle();
    fBus.Unplug(*target);
    Settle();
    ASSERT_EQ(1u, fReports.size());
    EXPECT_EQ("wide-in", fReports[0].What);
    ASSERT_EQ(2u, plain.size()); // the wide handlers are not asked for the plain registration
    EXPECT_EQ("plain-insert", plain[0].What);
    EXPECT_EQ("plain-remove", plain[1].What);

    // AddInterface(GUID) copies the wide handlers as they are at that moment.
    const TGUID later = GuidFromString("{00000001-0000-0000-0000-000000000000}");
    ASSERT_TRUE(notifier.AddInterface(later));
    notifier.fOnInsertObj = Record("wide-in-changed");
    fBus.Plug(Device(later, "l"));
    Settle();
    EXPECT_EQ("wide-in", fReports.back().What);
    gPlainReports = nullptr;
}

TEST_F(DevManTest, ReportsForABusyRecordAreDroppedAndOtherRecordsStillWork) {
    TDeviceNotifier notifier(nullptr);
    const auto second = Device(kSensors, "second");
    const auto target = Device(kTargets, "t");
    int sensorArrivals = 0;
    bool inserting = false;
    notifier.AddInterface(
        kSensors,
        [&](TDeviceNotifier* ASender, const TGUID&, const std::string&) {
            ++sensorArrivals;
            inserting = ASender->Notifier(0).Inserting;
            if (sensorArrivals == 1) {
                // Pumps messages as a modal dialog would: the second sensor's arrival comes now.
                fBus.Plug(second);
                fBus.Plug(target);
                Settle();
            }
        },
        Record("sensor-out"));
    notifier.AddInterface(kTargets, Record("target-in"), Record("target-out"));
    fBus.Plug(Device(kSensors, "first"));
    Settle();
    EXPECT_EQ(1, sensorArrivals); // the nested arrival was dropped, not repeated later
    EXPECT_TRUE(inserting);
    EXPECT_FALSE(notifier.Notifier(0).Inserting);
    ASSERT_EQ(1u, fReports.size());
    EXPECT_EQ("target-in", fReports[0].What);
    // A removal for the idle record goes through.
    fBus.Unplug(*second);
    Settle();
    EXPECT_EQ("sensor-out", fReports.back().What);
}

TEST_F(DevManTest, HandlerExceptionsAreSwallowedInReportsButReachTheCallerOfFindDevices) {
    TDeviceNotifier notifier(nullptr);
    int arrivals = 0;
    notifier.AddInterface(
        kSensors,
        [&](TDeviceNotifier*, const TGUID&, const std::string&) {
            ++arrivals;
            throw std::runtime_error("handler");
        },
        Record("out"));
    const auto a = Device(kSensors, "a");
    fBus.Plug(a);
    Settle();
    fBus.Plug(Device(kSensors, "b"));
    Settle();
    EXPECT_EQ(2, arrivals); // the first failure did not stop later reports
    EXPECT_FALSE(notifier.Notifier(0).Inserting);
    EXPECT_THROW(notifier.FindDevices(), std::runtime_error);
    EXPECT_EQ(3, arrivals); // the scan ended at the first failure
    EXPECT_FALSE(notifier.Notifier(0).Inserting);
    fBus.Unplug(*a);
    Settle();
    ASSERT_EQ(1u, fReports.size());
}

TEST_F(DevManTest, DuplicateRegistrationsAddRecordsButOnlyTheFirstIsAsked) {
    TDeviceNotifier notifier(nullptr);
    ASSERT_TRUE(notifier.AddInterface(kSensors, Record("first-in"), Record("first-out")));
    ASSERT_TRUE(notifier.AddInterface(kSensors, Record("second-in"), Record("second-out")));
    EXPECT_EQ(2, notifier.NotifierCount());
    const auto device = Device(kSensors, "s");
    fBus.Plug(device);
    Settle();
    notifier.FindDevices();
    fBus.Unplug(*device);
    Settle();
    ASSERT_EQ(3u, fReports.size());
    EXPECT_EQ("first-in", fReports[0].What);
    EXPECT_EQ("first-in", fReports[1].What);
    EXPECT_EQ("first-out", fReports[2].What);
}

TEST_F(DevManTest, FailedRegistrationIsNeitherWatchedNorScanned) {
    fBus.Plug(Device(kSensors, "s"));
    TDeviceNotifier notifier(nullptr);
    fBus.SetRegistrationError(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(notifier.AddInterface(kSensors, Record("in"), Record("out")));
    EXPECT_EQ(int(ERROR_ACCESS_DENIED), notifier.LastError());
    EXPECT_EQ(0, notifier.NotifierCount());
    fBus.SetRegistrationError(0);
    notifier.FindDevices();
    fBus.Plug(Device(kSensors, "t"));
    Settle();
    EXPECT_TRUE(fReports.empty());
}

namespace {
// Records the order in which registrations are withdrawn.
class TOrderBus : public TSimBus {
public:
    using TSimBus::TSimBus;
    void UnregisterDeviceNotification(uintptr_t ARegistration) override {
        fUnregistered.push_back(ARegistration);
        TSimBus::UnregisterDeviceNotification(ARegistration);
    }
    std::vector<uintptr_t> fUnregistered;
};
} // namespace

TEST(DevManLifetime, DestructionUnregistersLastFirstAndQueuedReportsNeverArrive) {
    TStdEventLoop loop;
    TOrderBus bus(loop);
    TSystemScope scope(loop, bus);
    int reports = 0;
    auto count = [&](TDeviceNotifier*, const TGUID&, const std::string&) { ++reports; };
    auto* owner = new TComponent(nullptr);
    auto* notifier = new TDeviceNotifier(owner);
    notifier->AddInterface(kSensors, count, count);
    notifier->AddInterface(kTargets, count, count);
    const uintptr_t first = notifier->Notifier(0).hDevNotify;
    const uintptr_t second = notifier->Notifier(1).hDevNotify;
    bus.Plug(std::make_shared<TPresence>(kSensors, "s"));
    EXPECT_TRUE(bus.HasPendingReports());
    delete owner; // takes the notifier with it, its report still queued
    EXPECT_EQ((std::vector<uintptr_t>{second, first}), bus.fUnregistered);
    loop.ProcessMessages(); // must not reach the destroyed notifier (asan)
    EXPECT_EQ(0, reports);
    EXPECT_FALSE(bus.HasPendingReports());
}
