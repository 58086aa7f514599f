// The thread that sends the simulated sensors' packets: the rates of the two families, and nothing
// while the radio is off or the target is away.
#include "sim/SimRadioSensors.h"
#include "sim/SimWirelessController.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>

namespace {

struct TCounts {
    std::mutex Mutex;
    std::map<std::pair<int, int>, int> Data; // (index, model code) -> data packets
    int Status = 0;
};

std::shared_ptr<TSimWirelessState> State(bool APowerOn, bool ASilent) {
    auto state = std::make_shared<TSimWirelessState>();
    state->PowerOn = APowerOn;
    state->Targets.push_back(TSimRadioTarget{});
    state->Targets.back().Silent = ASilent;
    for (uint8_t code : {0, 2}) {
        TSimRadioSensorSetup setup;
        setup.Sensor.ModelCode = code;
        setup.Sensor.InvertEvery = 0;
        state->Sensors.emplace_back(setup);
    }
    return state;
}

} // namespace

TEST(SimRadioSensorStream, SendsAtEachFamilysRateWhileHeard) {
    const struct {
        bool PowerOn, Silent;
        bool Heard;
    } cases[] = {{true, false, true}, {false, false, false}, {true, true, false}};
    for (const auto& c : cases) {
        TCounts counts;
        auto state = State(c.PowerOn, c.Silent);
        const auto start = std::chrono::steady_clock::now();
        {
            TSimRadioSensorStream stream(state, [&](const std::vector<uint8_t>& APacket) {
                ASSERT_EQ(0x44, APacket[1]);
                ASSERT_EQ(APacket[0], APacket.size());
                std::lock_guard lock(counts.Mutex);
                if (APacket[3] & 0x20)
                    ++counts.Status;
                else
                    ++counts.Data[{APacket[2], APacket[4]}];
            });
            stream.Start();
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!c.Heard) {
            EXPECT_TRUE(counts.Data.empty());
            continue;
        }
        // At most the nominal rate; at least a third of it on a loaded machine (late slots are
        // made up only within 200 ms).
        const int wdm01 = counts.Data[{1, 0}], wd03 = counts.Data[{1, 2}];
        EXPECT_LE(wdm01, 100 * seconds + 2);
        EXPECT_GE(wdm01, 100 * 0.5 / 3);
        EXPECT_LE(wd03, 50 * seconds + 2);
        EXPECT_GE(wd03, 50 * 0.5 / 3);
        std::lock_guard lock(state->Mutex);
        EXPECT_EQ(uint64_t(wdm01), state->Sensors[0].Report().DataPackets);
    }
}
