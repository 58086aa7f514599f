#include "MyLib/KelvoUsbWireless1.h"
#include "MyLib/KelvoWirelessTargets.h"
#include "platform/LittleEndian.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/DemoKeys.h"
#include "sim/SimBootloader.h"
#include "sim/SimBus.h"
#include "sim/SimGost.h"
#include "sim/SimRadioSensors.h"
#include "sim/SimWirelessController.h"
#include "sim/SimWirelessSensor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

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
    ASSERT_NE(nullptr, dynamic_cast<TWirelessTarget*>(device->Targets(1)));
    EXPECT_EQ("RQT-01", device->Targets(1)->fModelType);
    EXPECT_EQ(nullptr, device->Targets(0));
    EXPECT_EQ(nullptr, device->Targets(17));

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
    std::vector<std::string> events; // the class and mode of each target that came or went
    auto sim = Plug(GetParam());
    auto device = Open(*sim);
    device->fOnTargetConnect = [&](TKelvoWireless*, TCustom485Target* ATarget) {
        events.push_back("+" + ATarget->fModelType);
    };
    device->fOnTargetDisconnect = [&](TKelvoWireless*, TCustom485Target* ATarget) {
        events.push_back("-" + ATarget->fModelType);
    };
    ASSERT_TRUE(device->Targets(1)->SwitchToStub());
    ASSERT_TRUE(fLoop.RunUntil([&] { return dynamic_cast<TTargetStub*>(device->Targets(1)); }, 10000));
    auto* stub = static_cast<TTargetStub*>(device->Targets(1));
    EXPECT_EQ(SimProcessorOf(12, 3), stub->ProcId());
    EXPECT_EQ(1, stub->WasConnectedAsStub());
    EXPECT_EQ(1, stub->WasConnectedAsTarget());

    const std::vector<uint8_t> plain = SimPlainImage(12, 3, 13, SimProcessorOf(12, 3));
    std::vector<uint8_t> image(plain.size());
    const TSimGost cipher(DemoKeyBytes.data(), DemoTableBytes.data());
    std::array<uint8_t, 8> synchro = {9, 8, 7, 6, 5, 4, 3, 2}, chain = synchro;
    cipher.Encipher(plain.data(), image.data(), plain.size(), chain.data());

    ASSERT_TRUE(stub->EraseFlash());
    TGOSTDataBlock synchroBlock;
    std::memcpy(&synchroBlock, synchro.data(), sizeof synchroBlock);
    ASSERT_TRUE(stub->SetSynchro(synchroBlock));
    for (std::size_t address = 0; address < image.size(); address += 8)
        ASSERT_TRUE(stub->WriteFlashBlock(uint16_t(address), image.data() + address, 8)) << address;
    EXPECT_FALSE(stub->WriteFlashBlock(0, image.data(), 8)); // out of order
    ASSERT_TRUE(stub->ValidateFlash());
    ASSERT_TRUE(stub->UpdateTargetInfo());
    EXPECT_EQ(13, stub->fFWVersion);
    ASSERT_TRUE(stub->Reconnect());
    ASSERT_TRUE(fLoop.RunUntil([&] { return dynamic_cast<TWirelessTarget*>(device->Targets(1)); }, 10000));
    EXPECT_EQ(13, device->Targets(1)->fFWVersion);
    EXPECT_EQ(2, device->Targets(1)->WasConnectedAsTarget());
    // Each restart leaves the table and comes back: into the bootloader, then into the firmware.
    EXPECT_EQ((std::vector<std::string>{"-RQT-01", "+STUB", "-STUB", "+RQT-01"}), events);
}

INSTANTIATE_TEST_SUITE_P(Bindings, WirelessBinding,
                         ::testing::Values(TUsbDriverKind::Family, TUsbDriverKind::Generic));

// Hostile packet streams: each case is one buffer, whether the target at index 5 is left, and the
// log line it must leave.
TEST_F(WirelessBench, WalksPacketsAndRefusesBrokenOnes) {
    struct TCase {
        std::vector<uint8_t> Bytes;
        bool Target5;
        std::string Line;
    };
    std::vector<uint8_t> empty = {18, 0x88};
    empty.resize(18);
    std::vector<uint8_t> emptyThenOverlong = empty;
    emptyThenOverlong.insert(emptyThenOverlong.end(), {9, 0xCC, 1});
    const TCase cases[] = {
        {empty, false, ""},
        {{0, 0x88}, true, "Bad packet, size == 0 !!!"},
        {emptyThenOverlong, false, "Bad packet: size=9, id=204, ABufferSize=21, offset=18"},
        {{6, 0x88, 0, 0, 0, 0}, true, "Bad status packet: size=6"},
        {{18}, true, "Bad packet: size=18, id=-1, ABufferSize=1, offset=0"},
        {{2, 0x44}, true, "TARGET DATA: too small packet, size = 2"},
        {{4, 0x44, 0x15, 2}, true, "TARGET INDEX = 21 out of range"},
        {{4, 0x44, 0x03, 2}, true, "TARGET == NULL"},
        {{5, 0x44, 0x05, 9, 0}, true, "BAD PACKET, sensor length 9, received 2"},
        {{3, 0x44, 0x05}, true, "BAD PACKET, sensor length 0, received 0"},
    };
    auto sim = Plug(TUsbDriverKind::Family);
    sim->State()->Targets[0].Index = 5;
    for (const TCase& c : cases) {
        auto device = Open(*sim);
        ASSERT_NE(nullptr, device->Targets(5));
        fLines.clear();
        auto buffer = std::make_unique<uint8_t[]>(c.Bytes.size());
        std::copy(c.Bytes.begin(), c.Bytes.end(), buffer.get());
        device->ProcessData(TUsbBlock(buffer.release()), uint32_t(c.Bytes.size()));
        EXPECT_EQ(c.Target5, device->Targets(5) != nullptr);
        EXPECT_EQ(c.Line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.Line}, fLines);
    }
}

// The factory commands against the simulated bootloader: refused until the factory secret is given,
// then the serial number and key written there, read back, and in force once the firmware runs.
TEST_F(WirelessBench, FactoryCommandsNeedTheSecretAndChangeTheTarget) {
    auto sim = Plug(TUsbDriverKind::Family);
    {
        std::lock_guard lock(sim->State()->Mutex);
        sim->State()->Targets[0].Stub = true;
    }
    auto device = Open(*sim);
    auto* stub = dynamic_cast<TTargetStub*>(device->Targets(1));
    ASSERT_NE(nullptr, stub);
    const TSerialNum serial = {12, 3, 0, 0, 0, 0, 9, 9};
    const TDeviceKey key = {7, 7, 7, 1, 2, 3, 4, 5};
    TDeviceKey read{};
    EXPECT_FALSE(stub->SetSerialNum(serial));
    EXPECT_FALSE(stub->GetDeviceKey(read));
    EXPECT_FALSE(stub->EnableSecretOps({1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_FALSE(stub->SecretOps());
    ASSERT_TRUE(stub->EnableSecretOps(SIM_RADIO_FACTORY_SECRET));
    ASSERT_TRUE(stub->SetSerialNum(serial));
    ASSERT_TRUE(stub->SetDeviceKey(key));
    ASSERT_TRUE(stub->GetDeviceKey(read));
    EXPECT_EQ(key, read);
    TSerialNum again{};
    ASSERT_TRUE(stub->GetSerialNum(again));
    EXPECT_EQ(serial, again);
    {
        std::lock_guard lock(sim->State()->Mutex);
        const TSimRadioTarget& target = sim->State()->Targets[0];
        EXPECT_EQ(serial, target.Serial);
        EXPECT_EQ(key, target.Key);
    }
    // The firmware starts with them; the secret does not outlive the bootloader.
    ASSERT_TRUE(stub->Reconnect());
    ASSERT_TRUE(fLoop.RunUntil([&] { return dynamic_cast<TWirelessTarget*>(device->Targets(1)); }, 10000));
    EXPECT_EQ(serial, device->Targets(1)->fSerial);
    std::lock_guard lock(sim->State()->Mutex);
    EXPECT_FALSE(sim->State()->Targets[0].SecretOps);
}

// A serial number request that fails leaves no serial number taken as valid, whichever way it fails.
TEST_F(WirelessBench, FailedSerialReadLeavesNoValidSerial) {
    auto sim = Plug(TUsbDriverKind::Family);
    sim->State()->Serial = {14, 2, 1, 2, 3, 4, 5, 7};
    auto device = Open(*sim);
    const TSimFault faults[] = {{TSimFaultKind::Fail}, {TSimFaultKind::Short, 0, 3}};
    for (const TSimFault& fault : faults) {
        ASSERT_TRUE(device->GetSerialNum(nullptr));
        ASSERT_TRUE(device->fSerialNumValid);
        sim->SetFault(sim->VendorRequestCount() + 1, fault);
        EXPECT_FALSE(device->GetSerialNum(nullptr)) << int(fault.Kind);
        EXPECT_FALSE(device->fSerialNumValid) << int(fault.Kind);
    }
}

// The hardware text of a bootloader by its product, processor and hardware version.
TEST_F(WirelessBench, HardwareIdStrNamesProductAndProcessor) {
    auto sim = Plug(TUsbDriverKind::Family);
    auto device = Open(*sim);
    TTargetStub stub(device.get(), 1);
    std::vector<uint8_t> answer;
    sim->SetVendorHandler(0xF0, [](const TSimVendorRequest&, std::vector<uint8_t>&) { return true; });
    sim->SetVendorHandler(0xF1, [&](const TSimVendorRequest&, std::vector<uint8_t>& A) {
        A = answer;
        return true;
    });
    const struct {
        uint16_t fProduct, fProcessor, fHardware;
        const char* fText;
    } cases[] = {{12, 1611, 9, "12 (Wireless target)"},
                 {12, 2617, 3, "12 (Wireless target)"},
                 {12, 2617, 5, "12 (Wireless target 2)"},
                 {12, 2617, 4, "12 (unknown 2617)"},
                 {12, 1700, 3, "12"},
                 {15, 0, 1, "15 (Blinker)"},
                 {18, 0, 1, "18 (Biathlon WL target)"},
                 {20, 0, 1, "20 (Rapid fire)"},
                 {22, 0, 1, "22 (unknown)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fText);
        answer = {uint8_t(c.fProduct),
                  uint8_t(c.fProduct >> 8),
                  uint8_t(c.fProcessor),
                  uint8_t(c.fProcessor >> 8),
                  0,
                  0x11,
                  0,
                  0,
                  1,
                  2,
                  3,
                  4,
                  5,
                  6,
                  7,
                  8};
        stub.fHWVersion = c.fHardware;
        ASSERT_TRUE(stub.GetStubHWInfo());
        EXPECT_EQ(c.fText, stub.HardwareIdStr());
    }
}

// The bytes and time-out words of target commands, and the values refused without a command. The
// controller records what it is sent and answers every command with AAnswer.
TEST_F(WirelessBench, TargetCommandsOnTheWire) {
    auto sim = Plug(TUsbDriverKind::Family);
    auto device = Open(*sim);
    auto* target = dynamic_cast<TWirelessTarget*>(device->Targets(1));
    ASSERT_NE(nullptr, target);
    TTargetStub stub(device.get(), 1);
    TDeviceKey key{};
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> sent;
    std::vector<uint8_t> answer;
    sim->SetVendorHandler(0xF0, [&](const TSimVendorRequest& R, std::vector<uint8_t>&) {
        sent.emplace_back(R.wValue, R.Data);
        return true;
    });
    sim->SetVendorHandler(0xF1, [&](const TSimVendorRequest&, std::vector<uint8_t>& A) {
        A = answer;
        return true;
    });
    const uint8_t data[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    using TSent = std::vector<std::pair<uint16_t, std::vector<uint8_t>>>;
    struct TCase {
        const char* Name;
        std::vector<uint8_t> Answer;
        std::function<bool()> Run;
        bool Result;
        TSent Sent;
    };
    const TCase cases[] = {
        {"block",
         {1},
         [&] { return stub.WriteFlashBlock(0x1230, data, 8); },
         true,
         {{0x87D0, {0x61, 8, 0x30, 0x12, 1, 2, 3, 4, 5, 6, 7, 8}}}},
        {"short block padded",
         {1},
         [&] { return stub.WriteFlashBlock(8, data, 3); },
         true,
         {{0x87D0, {0x61, 3, 8, 0, 1, 2, 3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}}},
        {"long block cut",
         {1},
         [&] { return stub.WriteFlashBlock(0, data, 20); },
         true,
         {{0x87D0, {0x61, 8, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}}}},
        {"erase answered 0", {0}, [&] { return stub.EraseFlash(); }, false, {{0x8000 + 15000, {0x60}}}},
        {"validate", {1}, [&] { return stub.ValidateFlash(); }, true, {{0x8000 + 30000, {0x63}}}},
        {"hardware info too short",
         std::vector<uint8_t>(15, 7),
         [&] { return stub.GetStubHWInfo(); },
         false,
         {{0, {0x64}}}},
        {"frequencies",
         {},
         [&] { return target->SetFrequencies(1200, 1400); },
         true,
         {{20000, {0x40, 12, 14}}}},
        {"frequency not a multiple of 100",
         {},
         [&] { return target->SetFrequencies(1250, 1400); },
         false,
         {}},
        {"frequency too high", {}, [&] { return target->SetFrequencies(12000, 100); }, false, {}},
        {"frequency negative", {}, [&] { return target->SetFrequencies(-100, 1400); }, false, {}},
        {"signal levels", {}, [&] { return target->SetSignal(1.0, 0.5); }, true, {{20000, {0x50, 255, 128}}}},
        {"signal level too high", {}, [&] { return target->SetSignal(1.2, 0.5); }, false, {}},
        {"signal level NaN", {}, [&] { return target->SetSignal(std::nan(""), 0.5); }, false, {}},
        {"serial write",
         {1},
         [&] {
             return stub.SetSerialNum({1, 2, 3, 4, 5, 6, 7, 8});
         },
         true,
         {{0x8000 + 1000, {0x67, 1, 2, 3, 4, 5, 6, 7, 8}}}},
        {"key write refused",
         {0},
         [&] {
             return stub.SetDeviceKey({4, 4, 4, 4, 4, 4, 4, 4});
         },
         false,
         {{0x8000 + 1000, {0x68, 4, 4, 4, 4, 4, 4, 4, 4}}}},
        {"secret",
         {1},
         [&] {
             return stub.EnableSecretOps({9, 9, 9, 9, 9, 9, 9, 9});
         },
         true,
         {{0, {0x69, 9, 9, 9, 9, 9, 9, 9, 9}}}},
        {"key read", {8, 7, 6, 5, 4, 3, 2, 1}, [&] { return stub.GetDeviceKey(key); }, true, {{0, {0x6A}}}},
        {"key read too short",
         {1, 1, 1, 1, 1, 1, 1},
         [&] { return stub.GetDeviceKey(key); },
         false,
         {{0, {0x6A}}}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        sent.clear();
        answer = c.Answer;
        EXPECT_EQ(c.Result, c.Run());
        EXPECT_EQ(c.Sent, sent);
    }
    EXPECT_EQ(0, stub.ProcId());
    // Only what went through changed: the serial written, the key read (not the refused one).
    EXPECT_EQ((TSerialNum{1, 2, 3, 4, 5, 6, 7, 8}), stub.fSerial);
    EXPECT_EQ((TDeviceKey{8, 7, 6, 5, 4, 3, 2, 1}), stub.Key());
    EXPECT_EQ(stub.Key(), key);
    EXPECT_TRUE(stub.SecretOps());
    EXPECT_EQ(12, target->fProperties.bFreq1);
    EXPECT_EQ(255, target->fProperties.bSig1);
}

// A status byte that changes from one non-zero value to another is another state of the target
// there: the object is replaced by one for that state, and the history counts both.
TEST_F(WirelessBench, ChangedStatusByteReplacesTheTarget) {
    auto sim = Plug(TUsbDriverKind::Family);
    auto device = Open(*sim);
    ASSERT_NE(nullptr, dynamic_cast<TWirelessTarget*>(device->Targets(1)));
    {
        std::lock_guard lock(sim->State()->Mutex);
        sim->State()->Targets[0].Stub = true;
    }
    ASSERT_TRUE(sim->PushStatus());
    ASSERT_TRUE(fLoop.RunUntil([&] { return dynamic_cast<TTargetStub*>(device->Targets(1)); }, 10000));
    const TTargetsHistoryItem& history = device->TargetsHistory().at(0);
    EXPECT_EQ(1, history.ConnectedAsStub);
    EXPECT_EQ(1, history.ConnectedAsTarget);
    EXPECT_EQ(2, history.TotalConnects);
}

// --- Wireless sensors heard through the controller ---

namespace {

using TBytes = std::vector<uint8_t>;

TSimWirelessSensor SimSensor(uint8_t AModelCode, uint16_t ASerial,
                             TSimWirelessFault AFault = TSimWirelessFault::None) {
    TSimWirelessSensorSetup setup;
    setup.ModelCode = AModelCode;
    setup.Serial = ASerial;
    setup.Fault = AFault;
    setup.FaultEvery = AFault == TSimWirelessFault::None ? 0 : 1;
    return TSimWirelessSensor(setup);
}

// Standard targets at indexes 1 and 3, a blinker at 2. Every sensor made gets a point counter.
struct SensorBench : WirelessBench {
    std::shared_ptr<TSimWirelessController> fSim;
    std::unique_ptr<TKelvoWireless> fDevice;
    int fNewSensors = 0;
    std::vector<uint16_t> fPointIndexes; // the target index of every point
    std::function<void(TCustomWirelessSensor*)> fOnSensor;
    std::function<void()> fOnPoint;

    void SetUp() override {
        fSim = Plug(TUsbDriverKind::Family);
        auto& targets = fSim->State()->Targets;
        targets.push_back(TSimRadioTarget{});
        targets.back().Index = 3;
        targets.back().Serial[7] = 3;
        targets.push_back(TSimRadioTarget{});
        targets.back().Index = 2;
        targets.back().ProductId = 15;
        targets.back().Serial[7] = 2;
    }
    void Connect() {
        fDevice = Open(*fSim);
        fDevice->fOnNewSensor = [this](TKelvoWireless*, TCustomWirelessSensor* ASensor) {
            ++fNewSensors;
            ASensor->OnNewPoint = [this](TCustomWirelessSensor*, PQueuedPoint P) {
                fPointIndexes.push_back(P->targetindex);
                if (fOnPoint)
                    fOnPoint();
            };
            if (fOnSensor)
                fOnSensor(ASensor);
        };
        fLines.clear();
    }
    void Take(const TBytes& ABytes) {
        auto buffer = std::make_unique<uint8_t[]>(ABytes.size());
        std::copy(ABytes.begin(), ABytes.end(), buffer.get());
        fDevice->ProcessData(TUsbBlock(buffer.release()), uint32_t(ABytes.size()));
    }
    std::vector<uint16_t> Serials() const {
        std::vector<uint16_t> serials;
        for (const TCustomWirelessSensor* sensor : fDevice->Sensors())
            serials.push_back(sensor->Serial());
        return serials;
    }
};

} // namespace

// Each case: the packets taken, the sensors kept (most recently heard first), the sensors made, the
// points handed out and the log lines.
TEST_F(SensorBench, PacketsMakeAndFeedSensors) {
    auto m01 = SimSensor(0, 11);
    auto wd03 = SimSensor(2, 22);
    auto unknown = SimSensor(2, 33, TSimWirelessFault::UnknownModel);
    auto m02 = SimSensor(3, 44);
    struct TCase {
        const char* Name;
        std::vector<TBytes> Packets;
        std::vector<uint16_t> Serials;
        int NewSensors;
        size_t Points;
        std::vector<std::string> Lines;
        bool Disabled = false;
    };
    const TCase cases[] = {
        {"WD-M01, one point a packet",
         {SimSensorDataPacket(1, m01.NextPacket()), SimSensorDataPacket(1, m01.NextPacket()),
          SimSensorDataPacket(1, m01.NextPacket())},
         {11},
         1,
         3,
         {}},
        {"WD-03, two points a packet",
         {SimSensorDataPacket(1, wd03.NextPacket()), SimSensorDataPacket(1, wd03.NextPacket())},
         {22},
         1,
         4,
         {}},
        {"the sensor heard last is first",
         {SimSensorDataPacket(1, m01.NextPacket()), SimSensorDataPacket(1, wd03.NextPacket()),
          SimSensorDataPacket(1, m01.NextPacket())},
         {11, 22},
         2,
         4,
         {}},
        {"unknown model",
         {SimSensorDataPacket(1, unknown.NextPacket())},
         {},
         0,
         0,
         {"BAD PACKET, unknown class"}},
        {"WD-M02 weak signal of 15 bytes",
         {SimSensorDataPacket(1, m02.StatusPacket(TSimWirelessStatus::WeakSignal))},
         {},
         0,
         0,
         {}},
        {"not a wireless target",
         {SimSensorDataPacket(2, m01.NextPacket())},
         {},
         0,
         0,
         {"TARGET is not wireless"}},
        {"disabled",
         {SimSensorDataPacket(1, m01.NextPacket()), SimSensorDataPacket(0, m01.NextPacket())},
         {},
         0,
         0,
         {},
         true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Connect();
        fNewSensors = 0;
        fPointIndexes.clear();
        if (c.Disabled)
            fDevice->DisableWirelessSensors();
        for (const TBytes& packet : c.Packets)
            Take(packet);
        EXPECT_EQ(c.Serials, Serials());
        EXPECT_EQ(c.NewSensors, fNewSensors);
        EXPECT_EQ(std::vector<uint16_t>(c.Points, 1), fPointIndexes);
        EXPECT_EQ(c.Lines, fLines);
        for (const TCustomWirelessSensor* sensor : fDevice->Sensors())
            EXPECT_EQ(fDevice->Targets(1), sensor->Target());
    }
}

// A target that goes away leaves no sensor aimed at it; the sensor's next packet aims it at the
// target of that packet's index.
TEST_F(SensorBench, ReleasedTargetLeavesItsSensors) {
    auto m01 = SimSensor(0, 11);
    Connect();
    Take(SimSensorDataPacket(1, m01.NextPacket()));
    ASSERT_EQ(1u, fDevice->Sensors().size());
    TCustomWirelessSensor* sensor = fDevice->Sensors().front();
    ASSERT_EQ(fDevice->Targets(1), sensor->Target());
    TBytes table = {18, 0x88, 0, 1, 1};
    table.resize(18);
    Take(table);
    EXPECT_EQ(nullptr, fDevice->Targets(1));
    EXPECT_EQ(nullptr, sensor->Target());
    Take(SimSensorDataPacket(3, m01.NextPacket()));
    EXPECT_EQ(fDevice->Targets(3), sensor->Target());
    EXPECT_EQ((std::vector<uint16_t>{1, 3}), fPointIndexes);
    fDevice->Close();
    EXPECT_EQ(nullptr, sensor->Target());
}

// Handlers that destroy sensors while a packet is handed out: the packet is finished safely and no
// point comes from a destroyed sensor.
TEST_F(SensorBench, HandlersMayDestroySensors) {
    struct TCase {
        const char* Name;
        std::function<void(TCustomWirelessSensor*)> OnSensor;
        std::function<void()> OnPoint;
        size_t Points;
    };
    const TCase cases[] = {
        {"new sensor handler destroys all",
         [&](TCustomWirelessSensor*) { fDevice->DestroyWirelessSensors(); }, nullptr, 0},
        {"new sensor handler frees it", [](TCustomWirelessSensor* ASensor) { delete ASensor; }, nullptr, 0},
        {"point handler destroys all", nullptr, [&] { fDevice->DestroyWirelessSensors(); }, 1},
        {"point handler disables", nullptr, [&] { fDevice->DisableWirelessSensors(); }, 1},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        auto wd03 = SimSensor(2, 22);
        Connect();
        fPointIndexes.clear();
        fOnSensor = c.OnSensor;
        fOnPoint = c.OnPoint;
        Take(SimSensorDataPacket(1, wd03.NextPacket()));
        EXPECT_EQ(c.Points, fPointIndexes.size());
        EXPECT_TRUE(fDevice->Sensors().empty());
        fDevice.reset();
    }
    fOnSensor = nullptr;
    fOnPoint = nullptr;
}

// Sensor packets pushed on the controller's data path reach the sensor's point handler.
TEST_P(WirelessBinding, SensorPointsArriveThroughTheDataPath) {
    auto sim = Plug(GetParam(), GetParam() == TUsbDriverKind::Generic ? 0x22 : 14);
    auto device = Open(*sim);
    int points = 0;
    device->fOnNewSensor = [&](TKelvoWireless*, TCustomWirelessSensor* ASensor) {
        ASensor->OnNewPoint = [&](TCustomWirelessSensor*, PQueuedPoint) { ++points; };
    };
    auto wd03 = SimSensor(5, 55);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(sim->PushRaw(SimSensorDataPacket(1, wd03.NextPacket())));
    ASSERT_TRUE(fLoop.RunUntil([&] { return points == 10; }, 10000));
    ASSERT_EQ(1u, device->Sensors().size());
    EXPECT_EQ("WD-03V2", device->Sensors().front()->ShortName());
}
