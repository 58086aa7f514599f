// The simulated sensor's side of the optical command channel: symbols from frequency pairs, the
// echoes and the commands they carry, and what the commands do to the packets.
#include "sim/SimRadioSensors.h"
#include "platform/LittleEndian.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using TBytes = std::vector<uint8_t>;

// The frequency pair of a symbol, in units of 100 Hz (the inverse of SymbolOf, written out).
std::pair<uint8_t, uint8_t> PairOf(uint8_t ASymbol) {
    for (int i = 0, s = 0; i <= 10; ++i)
        for (int j = i + 1; j <= 10; ++j, ++s)
            if (s == ASymbol)
                return {uint8_t(10 + 2 * i), uint8_t(10 + 2 * j)};
    return {0, 0};
}

// The symbols of a command as the host sends them: start, nibbles low first with a separator between
// equal ones, end.
std::vector<uint8_t> Symbols(const TBytes& ACommand) {
    std::vector<uint8_t> symbols = {16};
    for (uint8_t byte : ACommand)
        for (uint8_t nibble : {uint8_t(byte & 15), uint8_t(byte >> 4)}) {
            if (nibble == symbols.back())
                symbols.push_back(33);
            symbols.push_back(nibble);
        }
    symbols.push_back(54);
    return symbols;
}

// Shows ASymbols to the sensor and returns the echoes as type/symbol pairs with their serials.
std::vector<std::pair<int, int>> Send(TSimRadioSensor& ASensor, const std::vector<uint8_t>& ASymbols,
                                      std::vector<uint16_t>* ASerials = nullptr) {
    for (uint8_t symbol : ASymbols)
        ASensor.SeeFrequencies(PairOf(symbol).first, PairOf(symbol).second);
    std::vector<std::pair<int, int>> echoes;
    for (const TBytes& echo : ASensor.TakeEchoes()) {
        EXPECT_EQ(TBytes({0x27}), TBytes(echo.begin(), echo.begin() + 1)); // 7 bytes, status
        echoes.emplace_back(echo[4], echo[5]);
        if (ASerials)
            ASerials->push_back(GetLE16(echo.data() + 2));
    }
    return echoes;
}

TSimRadioSensor Sensor(uint8_t AModel, bool ARaw = false) {
    TSimRadioSensorSetup setup;
    setup.Sensor.ModelCode = AModel;
    setup.Sensor.RawMode = ARaw;
    setup.Sensor.InvertEvery = 0;
    return TSimRadioSensor(setup);
}

} // namespace

TEST(SimSensorCommandReceiver, FrequencyPairsAreSymbols) {
    const struct {
        uint8_t C1, C2;
        int Symbol; // -1: noise
    } cases[] = {{10, 12, 0},  {10, 30, 9},  {12, 14, 10}, {12, 26, 16}, {16, 30, 33}, {26, 30, 53},
                 {28, 30, 54}, {14, 12, -1}, {11, 14, -1}, {30, 32, -1}, {8, 12, -1},  {12, 12, -1}};
    for (const auto& c : cases) {
        const auto symbol = TSimSensorCommandReceiver::SymbolOf(c.C1, c.C2);
        EXPECT_EQ(c.Symbol, symbol ? int(*symbol) : -1) << int(c.C1) << "," << int(c.C2);
    }
}

TEST(SimSensorCommandReceiver, EchoesAndCommands) {
    const struct {
        const char* Name;
        std::vector<uint8_t> Symbols;
        std::vector<std::pair<int, int>> Echoes;
        TBytes Command; // empty: none
    } cases[] = {
        {"serial 0x1234",
         {16, 1, 15, 2, 0, 4, 3, 2, 1, 54},
         {{2, 16}, {2, 1}, {2, 15}, {2, 2}, {2, 0}, {2, 4}, {2, 3}, {2, 2}, {2, 1}, {1, 54}},
         {0xF1, 2, 0x34, 0x12}},
        {"higher voltage",
         {16, 2, 15, 0, 33, 0, 54},
         {{2, 16}, {2, 2}, {2, 15}, {2, 0}, {2, 33}, {2, 0}, {1, 54}},
         {0xF2, 0}},
        {"idle mid-command", {16, 2, 15, 53}, {{2, 16}, {2, 2}, {2, 15}, {1, 53}}, {}},
        {"odd nibbles", {16, 2, 15, 0, 54}, {{2, 16}, {2, 2}, {2, 15}, {2, 0}, {1, 53}}, {}},
        {"length beyond data",
         {16, 0, 15, 1, 0, 54},
         {{2, 16}, {2, 0}, {2, 15}, {2, 1}, {2, 0}, {1, 53}},
         {}},
        {"nothing before the start", {3, 53, 54}, {}, {}},
    };
    for (const auto& c : cases) {
        TSimSensorCommandReceiver receiver;
        std::vector<std::pair<int, int>> echoes;
        std::optional<TBytes> command, last;
        for (uint8_t symbol : c.Symbols) {
            if (const auto echo = receiver.See(symbol, command))
                echoes.emplace_back(echo->Type, echo->Symbol);
            if (command)
                last = command;
        }
        EXPECT_EQ(c.Echoes, echoes) << c.Name;
        EXPECT_EQ(c.Command, last.value_or(TBytes())) << c.Name;
    }
}

TEST(SimRadioSensor, CommandsChangeWhatItSends) {
    // A serial number is confirmed under the old one; later packets carry the new one.
    TSimRadioSensor wd03 = Sensor(2, true);
    std::vector<uint16_t> serials;
    EXPECT_EQ(std::make_pair(1, 54), Send(wd03, Symbols({0xF1, 2, 0x39, 0x05}), &serials).back());
    EXPECT_EQ(1234, serials.back());
    EXPECT_EQ(0x0539, GetLE16(wd03.NextSlot()[0].data() + 2));
    // The calibration scale is the raw scale word sent; a word whose distance word cannot be held is
    // refused.
    EXPECT_EQ(std::make_pair(1, 54), Send(wd03, Symbols({0xF0, 4, 0x00, 0x00, 0x00, 0x01})).back());
    EXPECT_EQ(0x01000000u, GetLE32(wd03.NextSlot()[0].data() + 14));
    EXPECT_EQ(std::make_pair(1, 53), Send(wd03, Symbols({0xF0, 4, 0, 0, 0, 0x10})).back());
    // Voltage steps only on the WD-03V2.
    EXPECT_EQ(std::make_pair(1, 53), Send(wd03, Symbols({0xF2, 0})).back());
    TSimRadioSensor v2 = Sensor(5);
    Send(v2, Symbols({0xF2, 0}));
    EXPECT_EQ(1, v2.Report().VoltageStep);
    // The same symbol twice in a row is one symbol: the second shows nothing.
    EXPECT_EQ((std::vector<std::pair<int, int>>{{2, 16}}), Send(v2, {16, 16}));

    // The fuse: a wrong password leaves it fused, the right one unlocks it (status bit 1 in packets).
    TSimRadioSensor v3 = Sensor(8);
    Send(v3, Symbols({0xF8, 3, 'b', 'a', 'd'}));
    EXPECT_TRUE(v3.Report().Fused);
    EXPECT_EQ(0, v3.NextSlot()[0].back());
    Send(v3, Symbols({0xF8, 5, 'k', 'e', 'l', 'v', 'o'}));
    EXPECT_FALSE(v3.Report().Fused);
    EXPECT_EQ(2, v3.NextSlot()[0].back());
    const TSimRadioSensorReport report = v3.Report();
    EXPECT_EQ("WD-M02V3", report.Model);
    EXPECT_EQ(2u, report.CommandsApplied);
    EXPECT_EQ(2u, report.DataPackets);
}

// Out of view the sensor reports no signal, every tenth slot; a WD-M01 adds a battery report every
// 500 slots.
TEST(SimRadioSensor, OutOfViewAndBatteryReports) {
    TSimRadioSensorSetup setup;
    setup.ViewMm = 8;
    TSimRadioSensor sensor(setup);
    TSimAimPath path(setup.Seed);
    int outOfView = 0, noSignal = 0, battery = 0, data = 0;
    for (int slot = 0; slot < 1000; ++slot) {
        const TSimAimSample aim = path.Next();
        const bool out = std::hypot(aim.XMm, aim.YMm) > setup.ViewMm;
        outOfView += out;
        for (const TBytes& packet : sensor.NextSlot()) {
            const bool status = packet[0] & 0x20;
            data += !status;
            noSignal += status && packet[4] == 1;
            battery += status && packet[4] == 0;
        }
    }
    EXPECT_EQ(1000 - outOfView, data);
    EXPECT_GE(noSignal, outOfView / 10);
    EXPECT_LE(noSignal, outOfView / 10 + 20);
    EXPECT_GT(outOfView, 50);
    EXPECT_EQ(2, battery);
}
