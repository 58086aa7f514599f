// The simulated devices as wires, and the two driver bindings and the open-time check over them.
#include "platform/LittleEndian.h"
#include "platform/StdEventLoop.h"
#include "platform/UsbDescriptors.h"
#include "platform/UsbFamilyBinding.h"
#include "platform/UsbGenericBinding.h"
#include "sim/SimTestFamily.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

struct TBench {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
};

TUsbSetupPacket GetDescriptor(uint8_t AType, uint8_t AIndex, uint16_t ALength) {
    return {0x80, USB_REQUEST_GET_DESCRIPTOR, uint16_t(AType << 8 | AIndex), 0x0409, ALength};
}

} // namespace

TEST(UsbWire, DescriptorsTellTheBootloaderAndTheBinding) {
    TBench bench;
    struct TCase {
        TUsbDriverKind Driver;
        bool Stub;
        uint8_t SubClass, Protocol;
    };
    for (const TCase& c : {TCase{TUsbDriverKind::Family, false, 0xFF, 0xFF},
                           TCase{TUsbDriverKind::Generic, false, 0xFF, SIM_PROTOCOL_GENERIC},
                           TCase{TUsbDriverKind::Family, true, SIM_SUBCLASS_BOOTLOADER, 0xFF}}) {
        auto fw = PlugTestFirmware(bench.fBus, c.Driver);
        std::shared_ptr<TSimDevice> device = fw;
        if (c.Stub) {
            device = std::make_shared<TSimTestStub>(fw->fState, c.Driver);
            bench.fBus.Plug(device);
        }
        auto wire = device->Wire();
        ASSERT_TRUE(wire);
        auto bytes = wire->DeviceDescriptor();
        ASSERT_EQ(18u, bytes.size());
        EXPECT_EQ(c.SubClass, bytes[5]);
        EXPECT_EQ(c.Protocol, bytes[6]);
        std::string problem;
        EXPECT_EQ(ERROR_SUCCESS, UsbCheckWire(*wire, 100, problem)) << problem;
        bench.fBus.Unplug(*device);
        bench.fBus.Unplug(*fw);
    }
}

TEST(UsbWire, AnswersTheRequestsOfEnumeration) {
    TBench bench;
    auto fw = PlugTestFirmware(bench.fBus, TUsbDriverKind::Generic);
    auto wire = fw->Wire();
    struct TCase {
        TUsbSetupPacket Setup;
        uint32_t Result;
        std::vector<uint8_t> Answer; // the first bytes
    };
    const TCase cases[] = {
        {GetDescriptor(USB_DESCRIPTOR_STRING, 0, 255), ERROR_SUCCESS, {4, 3, 0x09, 0x04}},
        {GetDescriptor(USB_DESCRIPTOR_STRING, 1, 255), ERROR_SUCCESS, {12, 3, 'K', 0, 'E', 0}},
        {GetDescriptor(USB_DESCRIPTOR_STRING, 9, 255), ERROR_GEN_FAILURE, {}},
        {GetDescriptor(USB_DESCRIPTOR_CONFIGURATION, 0, 4), ERROR_SUCCESS, {9, 2, 32, 0}},
        {{0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0}, ERROR_SUCCESS, {}},
        {{0x00, USB_REQUEST_SET_CONFIGURATION, 2, 0, 0}, ERROR_GEN_FAILURE, {}},
        {{0x01, USB_REQUEST_SET_INTERFACE, 0, 0, 0}, ERROR_SUCCESS, {}},
        {{0x80, USB_REQUEST_GET_STATUS, 0, 0, 2}, ERROR_SUCCESS, {0, 0}},
        {{0x21, 0x09, 0, 0, 0}, ERROR_GEN_FAILURE, {}}, // a class request this device has no class for
    };
    for (const TCase& c : cases) {
        std::vector<uint8_t> data;
        uint32_t transferred = 0;
        EXPECT_EQ(c.Result, UsbWireControl(*wire, c.Setup, data, 100, transferred)) << int(c.Setup.Request);
        ASSERT_GE(data.size(), c.Answer.size());
        EXPECT_TRUE(std::equal(c.Answer.begin(), c.Answer.end(), data.begin())) << int(c.Setup.Request);
    }
}

TEST(UsbWire, ReplugMakesANewWireAndTheOldOneGone) {
    TBench bench;
    auto fw = PlugTestFirmware(bench.fBus, TUsbDriverKind::Generic);
    auto wire = fw->Wire();
    std::atomic<int> notices = 0;
    wire->AddGoneListener([&] { ++notices; });
    uint32_t readResult = 0, cancelResult = 0;
    uint64_t reading = 0, cancelled = 0;
    ASSERT_EQ(ERROR_SUCCESS,
              wire->SubmitRead(
                  SIM_PIPE_DATA_IN, 64, [&](uint32_t AResult, std::vector<uint8_t>) { readResult = AResult; },
                  reading));
    ASSERT_EQ(ERROR_SUCCESS,
              wire->SubmitRead(
                  SIM_PIPE_EVENT_IN, 64,
                  [&](uint32_t AResult, std::vector<uint8_t>) { cancelResult = AResult; }, cancelled));
    wire->CancelTransfer(cancelled);
    EXPECT_EQ(ERROR_OPERATION_ABORTED, cancelResult);
    EXPECT_EQ(1u, fw->WaitingReads());

    bench.fBus.Unplug(*fw);
    EXPECT_EQ(ERROR_DEVICE_NOT_CONNECTED, readResult);
    EXPECT_EQ(1, notices);
    EXPECT_TRUE(wire->Gone());
    uint64_t id;
    EXPECT_EQ(ERROR_DEVICE_NOT_CONNECTED,
              wire->SubmitRead(
                  SIM_PIPE_DATA_IN, 64, [](uint32_t, std::vector<uint8_t>) {}, id));
    wire->AddGoneListener([&] { ++notices; }); // already gone: at once
    EXPECT_EQ(2, notices);

    bench.fBus.Plug(fw);
    ASSERT_TRUE(fw->Wire());
    EXPECT_NE(wire, fw->Wire());
    EXPECT_FALSE(fw->Wire()->Gone());
}

TEST(UsbFamilyBinding, ExtraCodesTravelAsTwoTransfers) {
    TBench bench;
    auto fw = PlugTestFirmware(bench.fBus, TUsbDriverKind::Family);
    constexpr uint32_t KEcho = 0x222ABC; // buffered, any access
    fw->SetIoControlHandler(
        KEcho, [](const std::vector<uint8_t>& AIn, uint32_t AOutSize, std::vector<uint8_t>& AOut) {
            if (AIn.empty())
                return ERROR_INVALID_PARAMETER;
            AOut.assign(AIn.rbegin(), AIn.rend());
            AOut.push_back(uint8_t(AOutSize));
            return ERROR_SUCCESS;
        });
    std::unique_ptr<TUsbHandle> h;
    ASSERT_EQ(ERROR_SUCCESS, bench.fBus.Open(fw->Path(), h));
    struct TCase {
        uint32_t Code;
        std::vector<uint8_t> In;
        uint32_t OutSize;
        uint32_t Result;
        std::vector<uint8_t> Out;
    };
    const TCase cases[] = {
        {KEcho, {1, 2, 3}, 8, ERROR_SUCCESS, {3, 2, 1, 8}},
        {KEcho, {1, 2, 3}, 2, ERROR_SUCCESS, {3, 2}},         // cut to the output buffer
        {KEcho, {}, 8, ERROR_INVALID_PARAMETER, {}},          // the device's error number comes back
        {0x222AC0, {1}, 8, ERROR_INVALID_FUNCTION, {}},       // a code the device does not know
        {KEcho | 0x4000, {1}, 8, ERROR_INVALID_FUNCTION, {}}, // not a buffered any-access code
    };
    for (const TCase& c : cases) {
        std::vector<uint8_t> out(c.OutSize);
        uint32_t returned = 99;
        EXPECT_EQ(c.Result,
                  h->IoControl(c.Code, c.In.data(), uint32_t(c.In.size()), out.data(), c.OutSize, returned))
            << std::hex << c.Code;
        out.resize(c.Result == ERROR_SUCCESS ? returned : 0);
        EXPECT_EQ(c.Out, out) << std::hex << c.Code;
    }
    EXPECT_EQ(0u, fw->VendorRequestCount()); // the family's vendor requests are counted apart
}

TEST(UsbCheckWire, ReportsBrokenAndVanishedDevices) {
    TBench bench;
    auto fw = PlugTestFirmware(bench.fBus, TUsbDriverKind::Generic);
    std::string problem;
    fw->SetGarbageDescriptors({9, 2, 0xFF, 0xFF, 1, 1, 0, 0x80, 50, 0, 0});
    EXPECT_EQ(ERROR_GEN_FAILURE, UsbCheckWire(*fw->Wire(), 100, problem));
    EXPECT_EQ("its device descriptor is malformed", problem);
    // A handle over the garbage still answers, with nothing to offer.
    auto handle = MakeGenericHandle(fw->Wire(), [] { return 100u; });
    ASSERT_EQ(ERROR_SUCCESS, handle->InitializeGeneric());
    TUsbPipeInformation pipe;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, handle->QueryPipe(0, 0, pipe));
    fw->SetGarbageDescriptors({});

    fw->SetStallEverything(true);
    EXPECT_EQ(ERROR_GEN_FAILURE, UsbCheckWire(*fw->Wire(), 100, problem));
    EXPECT_EQ("it stalls a request for its device descriptor", problem);
    fw->SetStallEverything(false);
    EXPECT_EQ(ERROR_SUCCESS, UsbCheckWire(*fw->Wire(), 100, problem));

    auto wire = fw->Wire();
    bench.fBus.Unplug(*fw);
    EXPECT_EQ(ERROR_DEVICE_NOT_CONNECTED, UsbCheckWire(*wire, 100, problem));
    EXPECT_EQ("it has gone before it could be opened", problem);
}

TEST(UsbDescriptorProblem, FindsWhatIsWrong) {
    const std::vector<uint8_t> device = {18,   1,    0, 2, 0xFF, 0xFF, 0xFF, 64, 0x09,
                                         0x12, 0x20, 0, 0, 1,    1,    2,    3,  1};
    const std::vector<uint8_t> config = {9, 2,    25, 0, 1, 1, 0, 0x80, 50, 9,  4, 0, 0,
                                         1, 0xFF, 0,  0, 0, 7, 5, 0x81, 2,  64, 0, 0};
    EXPECT_EQ("", UsbDescriptorProblem(device, config));
    auto with = [](std::vector<uint8_t> ABytes, std::size_t AAt, uint8_t AValue) {
        ABytes[AAt] = AValue;
        return ABytes;
    };
    const std::pair<std::vector<uint8_t>, std::vector<uint8_t>> broken[] = {
        {{18, 1, 0}, config},                       // short
        {with(device, 7, 7), config},               // no such packet size
        {device, with(config, 2, 26)},              // total length beyond the bytes
        {device, with(config, 9, 0)},               // a zero-length descriptor
        {device, with(config, 18, 30)},             // a descriptor past the end
        {device, with(config, 13, 2)},              // an endpoint missing
        {device, with(config, 11, 1)},              // no interface 0
        {device, with(with(config, 22, 0), 23, 0)}, // an endpoint without a packet size
    };
    for (const auto& [d, c] : broken)
        EXPECT_NE("", UsbDescriptorProblem(d, c));
}

TEST(UsbBindings, BlockedReadsEndByCancelOrRemovalAndClosedReadsNeverLand) {
    TBench bench;
    auto fw = PlugTestFirmware(bench.fBus, TUsbDriverKind::Family);
    std::unique_ptr<TUsbHandle> h;
    ASSERT_EQ(ERROR_SUCCESS, bench.fBus.Open(fw->Path(), h));
    uint8_t buf[64];
    uint32_t n;
    h->CancelStreamRead(); // none pending: the next read is cancelled at once
    EXPECT_EQ(ERROR_OPERATION_ABORTED, h->ReadStream(buf, sizeof buf, n));
    for (bool removal : {false, true}) {
        std::atomic<uint32_t> result = ERROR_IO_PENDING;
        std::thread reader([&] {
            uint32_t read;
            result = h->ReadStream(buf, sizeof buf, read);
        });
        while (fw->WaitingReads() == 0)
            std::this_thread::yield();
        if (removal)
            bench.fBus.Unplug(*fw);
        else
            h->CancelStreamRead();
        reader.join();
        EXPECT_EQ(removal ? ERROR_DEVICE_REMOVED : ERROR_OPERATION_ABORTED, result);
    }

    // A generic handle closed with reads outstanding: data arriving later goes nowhere.
    auto generic = PlugTestFirmware(bench.fBus, TUsbDriverKind::Generic);
    ASSERT_EQ(ERROR_SUCCESS, bench.fBus.Open(generic->Path(), h));
    ASSERT_EQ(ERROR_SUCCESS, h->InitializeGeneric());
    auto buffer = std::make_unique<uint8_t[]>(64);
    ASSERT_EQ(ERROR_IO_PENDING, h->SubmitPipeRead(SIM_PIPE_DATA_IN, buffer.get(), 64, 1, n));
    h.reset();
    buffer.reset();
    EXPECT_EQ(0u, generic->WaitingReads());
    EXPECT_TRUE(generic->PushData({1, 2, 3}));
    EXPECT_EQ(1u, generic->PendingPackets(SIM_PIPE_DATA_IN));
}
