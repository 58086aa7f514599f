#include "MyLib/KelvoUsbWireless1.h"
#include "platform/LittleEndian.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/DemoKeys.h"
#include "sim/SimBootloader.h"
#include "sim/SimBus.h"
#include "sim/SimGost.h"
#include "sim/SimWirelessController.h"

#include <gtest/gtest.h>

namespace {

struct WirelessBench : ::testing::Test {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};
    std::vector<std::string> fLines;

    std::shared_ptr<TSimWirelessController> Plug(TUsbDriverKind ADriver, uint16_t AProductId = 14) {
        auto state = std::make_shared<TSimWirelessState>();
        state->ProductId = AProductId;
        state->Targets.push_back(TSimRadioTarget{});
        auto device = std::make_shared<TSimWirelessController>(state, ADriver);
        fBus.Plug(device);
        return device;
    }
    std::unique_ptr<TKelvoWireless> Open(const TSimWirelessController& ASim) {
        auto device = std::make_unique<TKelvoWireless>(nullptr, ASim.Path());
        device->fLog = &fLines;
        device->fLogging = true;
        EXPECT_TRUE(device->Open());
        return device;
    }
    bool Cmd(TKelvoWireless& ADevice, uint16_t ATimeout, std::vector<uint8_t> ACmd, int AAnswerSize = 0,
             uint8_t AExpect = 1) {
        uint8_t answer[32] = {};
        int answered = -1;
        return ADevice.TargetCmd(1, ATimeout, ACmd.data(), int(ACmd.size()), AAnswerSize ? answer : nullptr,
                                 AAnswerSize, answered) &&
               (!AAnswerSize || (answered == AAnswerSize && answer[0] == AExpect));
    }
};

class WirelessBinding : public WirelessBench, public ::testing::WithParamInterface<TUsbDriverKind> {};

} // namespace

TEST_P(WirelessBinding, IdentifiesControllerAndReadsTargetInfo) {
    const uint16_t product = GetParam() == TUsbDriverKind::Generic ? 0x22 : 14;
    auto sim = Plug(GetParam(), product);
    sim->State()->VersionHW = 4;
    sim->State()->VersionFW = 10;
    auto device = Open(*sim);
    EXPECT_EQ(10, device->fVersionFW);
    EXPECT_EQ(product == 0x22 ? "RQC-01" : "RQC-01(OLD)", device->ModelType());
    EXPECT_EQ(product == 0x22 ? "RI5508" : "VA485-??", device->DeveloperName());
    EXPECT_EQ(3, device->MaxCommandRetries());
    EXPECT_EQ(1, device->TargetStatus(1));
    EXPECT_EQ(0, device->TargetStatus(17));

    TTargetInfoBlock tib{};
    ASSERT_TRUE(device->GetTargetInfoBlock(1, tib));
    EXPECT_EQ(1, tib.bIndex);
    EXPECT_EQ(12, tib.wProductId);
    EXPECT_EQ(12, tib.wFWVersion);
    EXPECT_EQ(3, tib.wHWVersion);
    fLines.clear();
    EXPECT_FALSE(device->GetTargetInfoBlock(3, tib));
    EXPECT_EQ((std::vector<std::string>{"TargetCmd fail: index=3, timeout=250 mks, cmd=(20)",
                                        "TKelvoWireless.GetTargetInfoBlock failed!"}),
              fLines);

    ASSERT_TRUE(device->TurnPowerOn());
    device->Close();
    EXPECT_FALSE(sim->State()->PowerOn);
    EXPECT_EQ(1, sim->State()->PowerOffRequests);
}

// A whole flash over the radio: switch, erase, synchro, every 8-byte block, validation, reconnect.
TEST_P(WirelessBinding, FlashesTargetThroughItsBootloader) {
    std::vector<uint8_t> pushes; // index 1 of each table taken over
    auto sim = Plug(GetParam());
    auto device = Open(*sim);
    device->fOnStatusChange = [&](TKelvoWireless*, const std::array<uint8_t, 16>& AStatus) {
        pushes.push_back(AStatus[0]);
    };
    ASSERT_TRUE(Cmd(*device, 0, {0xF0}));
    ASSERT_TRUE(fLoop.RunUntil([&] { return device->TargetStatus(1) == 2; }, 10000));

    const std::vector<uint8_t> plain = SimPlainImage(12, 3, 13, SimProcessorOf(12, 3));
    std::vector<uint8_t> image(plain.size());
    const TSimGost cipher(DemoKeyBytes.data(), DemoTableBytes.data());
    std::array<uint8_t, 8> synchro = {9, 8, 7, 6, 5, 4, 3, 2}, chain = synchro;
    cipher.Encipher(plain.data(), image.data(), plain.size(), chain.data());

    ASSERT_TRUE(Cmd(*device, 0x8000 + 15000, {0x60}, 1));
    std::vector<uint8_t> sync = {0x65};
    sync.insert(sync.end(), synchro.begin(), synchro.end());
    ASSERT_TRUE(Cmd(*device, 0, sync, 1));
    for (std::size_t address = 0; address < image.size(); address += 8) {
        std::vector<uint8_t> block = {0x61, 8};
        AppendLE16(block, uint16_t(address));
        block.insert(block.end(), image.begin() + std::ptrdiff_t(address),
                     image.begin() + std::ptrdiff_t(address + 8));
        ASSERT_TRUE(Cmd(*device, 0x8000 + 2000, block, 1)) << address;
    }
    EXPECT_FALSE(Cmd(*device, 0x8000 + 2000, {0x61, 8, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}, 1)); // out of order
    ASSERT_TRUE(Cmd(*device, 0x8000 + 30000, {0x63}, 1));
    ASSERT_TRUE(Cmd(*device, 0, {0x62}));
    ASSERT_TRUE(fLoop.RunUntil([&] { return device->TargetStatus(1) == 1; }, 10000));
    EXPECT_EQ(13, sim->State()->Targets[0].VersionFW);
    // Each restart leaves the table and comes back: into the bootloader, then into the firmware.
    EXPECT_EQ((std::vector<uint8_t>{0, 2, 0, 1}), pushes);
}

INSTANTIATE_TEST_SUITE_P(Bindings, WirelessBinding,
                         ::testing::Values(TUsbDriverKind::Family, TUsbDriverKind::Generic));

// Hostile packet streams: each case is one buffer and the table and log it must leave.
TEST_F(WirelessBench, WalksPacketsAndRefusesBrokenOnes) {
    struct TCase {
        std::vector<uint8_t> Bytes;
        uint8_t Status5;
        std::string Line;
    };
    std::vector<uint8_t> status = {18, 0x88, 1, 0, 0, 0, 1};
    status.resize(18);
    std::vector<uint8_t> statusThenOverlong = status;
    statusThenOverlong.insert(statusThenOverlong.end(), {9, 0xCC, 1});
    const TCase cases[] = {
        {status, 1, ""},
        {{0, 0x88}, 0, "Bad packet, size == 0 !!!"},
        {statusThenOverlong, 1, "Bad packet: size=9, id=204, ABufferSize=21, offset=18"},
        {{6, 0x88, 1, 1, 1, 1}, 0, "Bad status packet: size=6"},
        {{18}, 0, "Bad packet: size=18, id=-1, ABufferSize=1, offset=0"},
    };
    auto sim = Plug(TUsbDriverKind::Family);
    sim->State()->Targets.clear();
    for (const TCase& c : cases) {
        auto device = Open(*sim);
        fLines.clear();
        auto buffer = std::make_unique<uint8_t[]>(c.Bytes.size());
        std::copy(c.Bytes.begin(), c.Bytes.end(), buffer.get());
        device->ProcessData(TUsbBlock(buffer.release()), uint32_t(c.Bytes.size()));
        EXPECT_EQ(c.Status5, device->TargetStatus(5));
        EXPECT_EQ(c.Line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.Line}, fLines);
    }
}
