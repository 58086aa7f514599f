#include "MyLib/CommonKelvoDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

class TPlainTarget : public TKelvoTargetObject {
public:
    using TKelvoTargetObject::TKelvoTargetObject;
    bool SetSignal(double, double) override { return false; }
    bool SetFrequencies(int, int) override { return false; }
    double Signal1() override { return 0; }
    double Signal2() override { return 0; }
};

} // namespace

TEST(KelvoTargetObject, ANewTargetHasNoTypeAndTheDefaultGeometry) {
    TComponent owner(nullptr);
    auto* target = new TPlainTarget(&owner, &owner, 3);
    EXPECT_FALSE(target->Valid());
    EXPECT_EQ(target->fSerial, NoSerialNum);
    EXPECT_EQ(target->fIndex, 3);
    EXPECT_EQ(target->Parent(), &owner);
    EXPECT_EQ(target->fLedsDistance, 190.0);
    EXPECT_EQ(target->LedsY[0], -95.0);
    EXPECT_EQ(target->LedsY[1], 95.0);
    EXPECT_EQ(target->fRealDistance, 10.0);
    EXPECT_EQ(target->fEmulatedDistance, 10.0);
    EXPECT_FALSE(target->Lock(BlankDeviceKey));
    EXPECT_EQ(target->Code128().rfind("KC:", 0), 0u);
    // Logging goes to the borrowed list only while it is switched on.
    std::vector<std::string> log;
    target->fLog = &log;
    target->Log("off");
    target->fLogging = true;
    target->Log("on");
    EXPECT_EQ(log, std::vector<std::string>{"on"});
    EXPECT_EQ(owner.ComponentCount(), 1);
}

TEST(PointsQueue, HandsEveryPointOverOnceInArrivalOrderWhileProducerAndConsumerRun) {
    TPointsQueue queue;
    EXPECT_TRUE(queue.Get().empty());
    EXPECT_EQ(queue.Count(), 0);
    constexpr uint32_t Points = 20000;
    std::atomic<bool> done{false};
    TPointsArray taken;
    std::thread consumer([&] {
        for (;;) {
            const bool last = done.load();
            TPointsArray batch = queue.Get();
            taken.insert(taken.end(), batch.begin(), batch.end());
            if (last)
                break;
        }
    });
    for (uint32_t i = 0; i < Points; ++i) {
        TQueuedPoint_V1 point;
        point.dwCounter = i;
        queue.Add(&point);
    }
    done = true;
    consumer.join();
    ASSERT_EQ(taken.size(), Points);
    for (uint32_t i = 0; i < Points; ++i)
        ASSERT_EQ(taken[i].dwCounter, i);
    EXPECT_EQ(queue.Count(), 0);
    queue.Add(nullptr);
    TQueuedPoint_V1 point;
    queue.Add(&point);
    queue.Clear();
    EXPECT_EQ(queue.Count(), 0);
}

// A queue nobody reads keeps its newest points up to its capacity and counts the ones it let go.
TEST(PointsQueue, KeepsTheNewestPointsUpToItsCapacityAndCountsTheDropped) {
    struct TCase {
        size_t Capacity;
        uint32_t Added;
        int Kept;
        uint64_t Dropped;
    };
    const TCase cases[] = {{4, 3, 3, 0}, {4, 4, 4, 0}, {4, 5, 4, 1}, {4, 11, 4, 7}, {1, 3, 1, 2}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Capacity << " " << c.Added);
        TPointsQueue queue(c.Capacity);
        for (uint32_t i = 0; i < c.Added; ++i) {
            TQueuedPoint_V1 point;
            point.dwCounter = i;
            queue.Add(&point);
        }
        EXPECT_EQ(queue.Count(), c.Kept);
        EXPECT_EQ(queue.Dropped(), c.Dropped);
        const TPointsArray taken = queue.Get();
        ASSERT_EQ(taken.size(), size_t(c.Kept));
        for (size_t i = 0; i < taken.size(); ++i)
            EXPECT_EQ(taken[i].dwCounter, c.Added - c.Kept + i);
        // Taking the points leaves the count; clearing restarts it.
        EXPECT_EQ(queue.Dropped(), c.Dropped);
        queue.Clear();
        EXPECT_EQ(queue.Dropped(), 0u);
    }
    EXPECT_GE(TPointsQueue::KDefaultCapacity, size_t(100 * 60 * 10));
}
