#include "platform/LittleEndian.h"
#include "platform/StdEventLoop.h"
#include "platform/UsbFamilyBinding.h"
#include "sim/SimTestFamily.h"

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> Block(uint8_t ARequest, uint16_t AValue, uint16_t AIndex,
                           std::vector<uint8_t> AData = {}) {
    // Header written in front of the data in place: growing an 8-byte vector by insert trips a
    // false array-bounds warning of GCC 12 at -O3.
    uint8_t header[8] = {ARequest, 0};
    PutLE16(header + 2, AValue);
    PutLE16(header + 4, AIndex);
    PutLE16(header + 6, uint16_t(AData.size()));
    AData.insert(AData.begin(), std::begin(header), std::end(header));
    return AData;
}

struct TBench {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};

    std::unique_ptr<TUsbHandle> Open(const TSimDevice& ADevice) {
        std::unique_ptr<TUsbHandle> handle;
        EXPECT_EQ(ERROR_SUCCESS, fBus.Open(ADevice.Path(), handle));
        return handle;
    }
    // Runs queued reports; returns the removal and arrival reports seen for AClass.
    void Drain() { fLoop.ProcessMessages(); }
};

uint32_t ReadVia(TUsbHandle& AHandle, uint8_t ARequest, std::vector<uint8_t>& AOut, uint32_t ASize) {
    auto block = Block(ARequest, 0, 0);
    AOut.assign(ASize, 0);
    uint32_t returned = 0;
    uint32_t error = AHandle.IoControl(FAMILY_IOCTL_VENDOR_REQUEST, block.data(), uint32_t(block.size()),
                                       AOut.data(), ASize, returned);
    AOut.resize(error == ERROR_SUCCESS ? returned : 0);
    return error;
}

} // namespace

TEST(SimDevice, PublishesItsClassAndBuildsItsDescriptor) {
    EXPECT_EQ(GuidFromString("{7D318304-5D35-11D2-9420-00105A075F6B}"), SimInterfaceClassOf(35));
    EXPECT_EQ(SimInterfaceClassOf(14), SimInterfaceClassOf(34));
    EXPECT_EQ(GuidFromString("{6DD29847-8B42-4AB4-AB06-4B9BF751334C}"), SimInterfaceClassOf(0x1F01));
    EXPECT_EQ(TGUID{}, SimInterfaceClassOf(288));

    TSimDeviceIdentity id{0x1F01, 0x1209, 0x0110, 0x0305, 16};
    auto d = SimDeviceDescriptorBytes(id);
    ASSERT_EQ(18u, d.size());
    EXPECT_EQ(18, d[0]);
    EXPECT_EQ(1, d[1]);
    EXPECT_EQ(0x10, d[2]);
    EXPECT_EQ(0x01, d[3]);
    EXPECT_EQ(16, d[7]);
    EXPECT_EQ(0x09, d[8]);
    EXPECT_EQ(0x12, d[9]);
    EXPECT_EQ(0x01, d[10]);
    EXPECT_EQ(0x1F, d[11]);
    EXPECT_EQ(0x05, d[12]);
    EXPECT_EQ(0x03, d[13]);
    EXPECT_EQ(1, d[17]);

    TBench bench;
    auto fw = PlugTestFirmware(bench.fBus, TUsbDriverKind::Family);
    TSimTestStub stub(fw->fState, TUsbDriverKind::Family);
    EXPECT_EQ(SimInterfaceClassOf(32), fw->InterfaceClass());
    EXPECT_EQ(SIM_STUB_INTERFACE_CLASS, stub.InterfaceClass());
}

TEST(SimDevice, FamilyDriverAnswersItsControlCodes) {
    TBench bench;
    auto fw = PlugTestFirmware(bench.fBus, TUsbDriverKind::Family);
    auto h = bench.Open(*fw);
    ASSERT_TRUE(h);
    EXPECT_EQ(TUsbDriverKind::Family, h->DriverKind());

    std::vector<uint8_t> out;
    ASSERT_EQ(ERROR_SUCCESS, ReadVia(*h, 0x45, out, 4));
    EXPECT_EQ((std::vector<uint8_t>{2, 0, 7, 0}), out);
    // The device answers no more than asked.
    ASSERT_EQ(ERROR_SUCCESS, ReadVia(*h, TEST_REQ_SERIAL, out, 3));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), out);
    // Unknown requests stall.
    EXPECT_EQ(ERROR_GEN_FAILURE, ReadVia(*h, 0x77, out, 4));

    auto unlock = Block(TEST_REQ_UNLOCK, 0, 0, std::vector<uint8_t>(8, 9));
    uint32_t returned = 1;
    EXPECT_EQ(ERROR_SUCCESS, h->IoControl(FAMILY_IOCTL_VENDOR_REQUEST, unlock.data(), uint32_t(unlock.size()),
                                          nullptr, 0, returned));
    EXPECT_EQ(0u, returned);
    EXPECT_FALSE(fw->fState->Locked);
    // A block whose length does not match the bytes behind it is refused.
    unlock.pop_back();
    EXPECT_EQ(ERROR_INVALID_PARAMETER, h->IoControl(FAMILY_IOCTL_VENDOR_REQUEST, unlock.data(),
                                                    uint32_t(unlock.size()), nullptr, 0, returned));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              h->IoControl(FAMILY_IOCTL_VENDOR_REQUEST, unlock.data(), 7, nullptr, 0, returned));

    uint8_t version[2] = {};
    ASSERT_EQ(ERROR_SUCCESS, h->IoControl(FAMILY_IOCTL_DRIVER_VERSION, nullptr, 0, version, 2, returned));
    EXPECT_EQ(2u, returned);
    EXPECT_EQ(0x17, version[0]);
    uint8_t descriptor[18];
    ASSERT_EQ(ERROR_SUCCESS,
              h->IoControl(FAMILY_IOCTL_DEVICE_DESCRIPTOR, nullptr, 0, descriptor, 18, returned));
    EXPECT_EQ(fw->DeviceDescriptor(), std::vector<uint8_t>(descriptor, descriptor + 18));

    uint8_t level[2] = {0x34, 0x12};
    EXPECT_EQ(ERROR_SUCCESS, h->IoControl(TEST_IOCTL_LEVEL, level, 2, nullptr, 0, returned));
    EXPECT_EQ(0x1234, fw->fState->Level);
    EXPECT_EQ(ERROR_INVALID_FUNCTION, h->IoControl(0x222FFC, nullptr, 0, nullptr, 0, returned));

    // The generic binding is not there on a family-bound handle.
    EXPECT_EQ(ERROR_INVALID_FUNCTION, h->InitializeGeneric());
    TUsbSetupPacket setup{0xC0, 0x45, 0, 0, 4};
    uint8_t buf[4];
    EXPECT_EQ(ERROR_INVALID_HANDLE, h->ControlTransfer(setup, buf, 4, returned));
    uint32_t transferred;
    EXPECT_EQ(ERROR_INVALID_HANDLE, h->SubmitPipeRead(SIM_PIPE_DATA_IN, buf, 4, 0, transferred));
}

TEST(SimDevice, OldDriversLackTheDescriptorAndTheLog) {
    TBench bench;
    auto fw = PlugTestFirmware(bench.fBus, TUsbDriverKind::Family);
    auto h = bench.Open(*fw);
    uint32_t returned;
    uint8_t out[18];

    fw->SetDriverVersion(0x216);
    EXPECT_EQ(ERROR_SUCCESS, h->IoControl(FAMILY_IOCTL_DEVICE_DESCRIPTOR, nullptr, 0, out, 18, returned));
    EXPECT_EQ(ERROR_INVALID_FUNCTION,
              h->IoControl(FAMILY_IOCTL_LOG_ENABLE, nullptr, 0, nullptr, 0, returned));
    fw->SetDriverVersion(0x206);
    EXPECT_EQ(ERROR_INVALID_FUNCTION,
              h->IoControl(FAMILY_IOCTL_DEVICE_DESCRIPTOR, nullptr, 0, out, 18, returned));
    fw->SetDriverVersion(0);
    EXPECT_EQ(ERROR_INVALID_FUNCTION,
              h->IoControl(FAMILY_IOCTL_DRIVER_VERSION, nullptr, 0, out, 2, returned));

    fw->SetDriverVersion(0x217);
    ASSERT_EQ(ERROR_SUCCESS, h->IoControl(FAMILY_IOCTL_LOG_ENABLE, nullptr, 0, nullptr, 0, returned));
    std::vector<uint8_t> answer;
    ReadVia(*h, 0x45, answer, 4);
    ReadVia(*h, 0xFE, answer, 4);
    ASSERT_EQ(ERROR_SUCCESS, h->IoControl(FAMILY_IOCTL_LOG_SIZE, nullptr, 0, out, 8, returned));
    uint32_t size = GetLE32(out);
    EXPECT_EQ(fw->DriverLog().size(), size);
    EXPECT_NE(std::string::npos, fw->DriverLog().find(" 45 "));
    EXPECT_NE(std::string::npos, fw->DriverLog().find(" FE "));
    std::vector<char> text(size + 10);
    ASSERT_EQ(ERROR_SUCCESS,
              h->IoControl(FAMILY_IOCTL_LOG_READ, nullptr, 0, text.data(), uint32_t(text.size()), returned));
    EXPECT_EQ(size, returned);
    EXPECT_EQ(ERROR_SUCCESS, h->IoControl(FAMILY_IOCTL_LOG_CLEAR, nullptr, 0, nullptr, 0, returned));
    EXPECT_TRUE(fw->DriverLog().empty());
}

TEST(SimDevice, GenericBindingAnswersTransfersAndQueries) {
    TBench bench;
    auto fw = PlugTestFirmware(bench.fBus, TUsbDriverKind::Generic);
    auto h = bench.Open(*fw);
    uint32_t n = 0;
    uint8_t buf[64] = {};
    TUsbSetupPacket read45{0xC0, 0x45, 0, 0, 4};
    EXPECT_EQ(ERROR_INVALID_HANDLE, h->ControlTransfer(read45, buf, 4, n)); // not initialised yet
    EXPECT_EQ(ERROR_INVALID_FUNCTION, h->IoControl(FAMILY_IOCTL_DRIVER_VERSION, nullptr, 0, buf, 2, n));
    ASSERT_EQ(ERROR_SUCCESS, h->InitializeGeneric());

    ASSERT_EQ(ERROR_SUCCESS, h->ControlTransfer(read45, buf, 4, n));
    EXPECT_EQ(4u, n);
    EXPECT_EQ(2, buf[0]);
    uint8_t key[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    TUsbSetupPacket unlock{0x40, TEST_REQ_UNLOCK, 0, 0, 8};
    ASSERT_EQ(ERROR_SUCCESS, h->ControlTransfer(unlock, key, 8, n));
    EXPECT_EQ(8u, n);
    key[3] = 1;
    EXPECT_EQ(ERROR_GEN_FAILURE, h->ControlTransfer(unlock, key, 8, n));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              h->ControlTransfer(unlock, key, 4, n)); // buffer shorter than the setup says

    ASSERT_EQ(ERROR_SUCCESS, h->GetDescriptor(1, 0, 0, buf, 64, n));
    EXPECT_EQ(18u, n);
    EXPECT_EQ(fw->DeviceDescriptor(), std::vector<uint8_t>(buf, buf + 18));
    ASSERT_EQ(ERROR_SUCCESS, h->GetDescriptor(2, 0, 0, buf, 64, n));
    EXPECT_EQ(32u, n);
    EXPECT_EQ(32, buf[2]);

    TUsbInterfaceDescriptor iface{};
    ASSERT_EQ(ERROR_SUCCESS, h->QueryInterfaceSettings(0, iface));
    EXPECT_EQ(2, iface.bNumEndpoints);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, h->QueryInterfaceSettings(1, iface));
    TUsbPipeInformation pipe;
    ASSERT_EQ(ERROR_SUCCESS, h->QueryPipe(0, 0, pipe));
    EXPECT_EQ(UsbdPipeTypeBulk, pipe.PipeType);
    EXPECT_EQ(SIM_PIPE_DATA_IN, pipe.PipeId);
    ASSERT_EQ(ERROR_SUCCESS, h->QueryPipe(0, 1, pipe));
    EXPECT_EQ(UsbdPipeTypeInterrupt, pipe.PipeType);
    EXPECT_EQ(SIM_PIPE_EVENT_IN, pipe.PipeId);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, h->QueryPipe(0, 2, pipe));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, h->SetPipePolicy(0x01, AUTO_CLEAR_STALL, 1));
}

TEST(SimDevice, PipeReadsCompleteInOrderAndAbort) {
    TBench bench;
    auto fw = PlugTestFirmware(bench.fBus, TUsbDriverKind::Generic);
    auto h = bench.Open(*fw);
    ASSERT_EQ(ERROR_SUCCESS, h->InitializeGeneric());
    uint8_t a[64], b[64], c[64];
    uint32_t n = 99;

    ASSERT_TRUE(fw->PushPacket(SIM_PIPE_DATA_IN, {1, 2, 3}));
    EXPECT_FALSE(fw->PushPacket(SIM_PIPE_DATA_IN, std::vector<uint8_t>(65, 0))); // larger than a packet
    EXPECT_FALSE(fw->PushPacket(0x83, {1}));
    // Data larger than a packet travels as several maximum-size packets.
    ASSERT_TRUE(fw->PushPackets(SIM_PIPE_EVENT_IN, std::vector<uint8_t>(130, 4)));
    EXPECT_EQ(3u, fw->PendingPackets(SIM_PIPE_EVENT_IN));
    for (uint32_t expected : {64u, 64u, 2u}) {
        ASSERT_EQ(ERROR_SUCCESS, h->SubmitPipeRead(SIM_PIPE_EVENT_IN, b, 64, 2, n));
        EXPECT_EQ(expected, n);
    }
    ASSERT_EQ(ERROR_SUCCESS, h->SubmitPipeRead(SIM_PIPE_DATA_IN, a, 64, 1, n)); // data was waiting
    EXPECT_EQ(3u, n);
    EXPECT_EQ(3, a[2]);

    ASSERT_EQ(ERROR_IO_PENDING, h->SubmitPipeRead(SIM_PIPE_DATA_IN, a, 64, 10, n));
    ASSERT_EQ(ERROR_IO_PENDING, h->SubmitPipeRead(SIM_PIPE_DATA_IN, b, 64, 11, n));
    ASSERT_EQ(ERROR_IO_PENDING, h->SubmitPipeRead(SIM_PIPE_EVENT_IN, c, 64, 12, n));
    EXPECT_EQ(3u, fw->WaitingReads());
    ASSERT_TRUE(fw->PushData({7}));
    ASSERT_TRUE(fw->PushEvent({8, 8}));
    uintptr_t tag;
    uint32_t result;
    ASSERT_TRUE(h->WaitPipeRead(SIM_PIPE_DATA_IN, tag, n, result));
    EXPECT_EQ(10u, tag); // the oldest read takes the packet
    EXPECT_EQ(1u, n);
    EXPECT_EQ(7, a[0]);
    ASSERT_TRUE(h->WaitPipeRead(SIM_PIPE_EVENT_IN, tag, n, result));
    EXPECT_EQ(12u, tag);
    EXPECT_EQ(2u, n);

    ASSERT_EQ(ERROR_SUCCESS, h->AbortPipe(SIM_PIPE_DATA_IN));
    ASSERT_TRUE(h->WaitPipeRead(SIM_PIPE_DATA_IN, tag, n, result));
    EXPECT_EQ(11u, tag);
    EXPECT_EQ(ERROR_OPERATION_ABORTED, result);
    EXPECT_FALSE(h->WaitPipeRead(SIM_PIPE_DATA_IN, tag, n, result)); // nothing pending any more
}

TEST(SimDevice, StalledPipeFailsUntilResetUnlessAutoCleared) {
    TBench bench;
    auto fw = PlugTestFirmware(bench.fBus, TUsbDriverKind::Generic);
    auto h = bench.Open(*fw);
    ASSERT_EQ(ERROR_SUCCESS, h->InitializeGeneric());
    uint8_t buf[64];
    uint32_t n;
    fw->PushPipeError(SIM_PIPE_DATA_IN, ERROR_GEN_FAILURE);
    EXPECT_EQ(ERROR_GEN_FAILURE, h->SubmitPipeRead(SIM_PIPE_DATA_IN, buf, 64, 0, n));
    EXPECT_EQ(ERROR_GEN_FAILURE, h->SubmitPipeRead(SIM_PIPE_DATA_IN, buf, 64, 0, n)); // halted
    ASSERT_EQ(ERROR_SUCCESS, h->ResetPipe(SIM_PIPE_DATA_IN));
    EXPECT_EQ(ERROR_IO_PENDING, h->SubmitPipeRead(SIM_PIPE_DATA_IN, buf, 64, 0, n));
    h->AbortPipe(SIM_PIPE_DATA_IN);
    uintptr_t tag;
    uint32_t result;
    h->WaitPipeRead(SIM_PIPE_DATA_IN, tag, n, result);

    ASSERT_EQ(ERROR_SUCCESS, h->SetPipePolicy(SIM_PIPE_DATA_IN, AUTO_CLEAR_STALL, 1));
    fw->PushPipeError(SIM_PIPE_DATA_IN, ERROR_GEN_FAILURE);
    EXPECT_EQ(ERROR_GEN_FAILURE, h->SubmitPipeRead(SIM_PIPE_DATA_IN, buf, 64, 0, n));
    EXPECT_EQ(ERROR_IO_PENDING, h->SubmitPipeRead(SIM_PIPE_DATA_IN, buf, 64, 0, n));
    h->AbortPipe(SIM_PIPE_DATA_IN);
    h->WaitPipeRead(SIM_PIPE_DATA_IN, tag, n, result);

    fw->SetPipeSubmitError(SIM_PIPE_DATA_IN, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, h->SubmitPipeRead(SIM_PIPE_DATA_IN, buf, 64, 0, n));
}

TEST(SimDevice, StreamJoinsRecordsButNeverSplitsOne) {
    TBench bench;
    auto fw = PlugTestFirmware(bench.fBus, TUsbDriverKind::Family);
    auto h = bench.Open(*fw);
    ASSERT_TRUE(fw->PushData({1, 2, 3}));
    ASSERT_TRUE(fw->PushEvent({}));
    ASSERT_TRUE(fw->PushData(std::vector<uint8_t>(20, 0xAB)));
    EXPECT_FALSE(fw->PushRecord(SIM_RECORD_DATA, std::vector<uint8_t>(10240, 0))); // never fits one read
    EXPECT_EQ(8u + 5 + 25, fw->PendingStreamBytes());

    uint8_t buf[32];
    uint32_t n = 0;
    ASSERT_EQ(ERROR_SUCCESS, h->ReadStream(buf, 32, n));
    ASSERT_EQ(13u, n); // the third record would not fit: it waits for the next read
    EXPECT_EQ((std::vector<uint8_t>{0x44, 3, 0, 0, 0, 1, 2, 3, 0x88, 0, 0, 0, 0}),
              std::vector<uint8_t>(buf, buf + 13));
    ASSERT_EQ(ERROR_SUCCESS, h->ReadStream(buf, 32, n));
    EXPECT_EQ(25u, n);
    EXPECT_EQ(20, buf[1]);

    fw->PushStreamTransfer({0x44, 0xFF});
    fw->PushStreamError(ERROR_NOT_ENOUGH_MEMORY);
    ASSERT_EQ(ERROR_SUCCESS, h->ReadStream(buf, 32, n));
    EXPECT_EQ(2u, n);
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, h->ReadStream(buf, 32, n));

    // A record larger than the read is dropped with an error instead of being split.
    ASSERT_TRUE(fw->PushData(std::vector<uint8_t>(40, 1)));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, h->ReadStream(buf, 32, n));
    EXPECT_EQ(0u, fw->PendingStreamBytes());

    // A cancel with no read pending is kept for the next read.
    h->CancelStreamRead();
    EXPECT_EQ(ERROR_OPERATION_ABORTED, h->ReadStream(buf, 32, n));
}

TEST(SimDevice, FaultsHitTheNumberedRequest) {
    TBench bench;
    auto fw = PlugTestFirmware(bench.fBus, TUsbDriverKind::Family);
    auto h = bench.Open(*fw);
    fw->SetFault(2, {TSimFaultKind::Fail, ERROR_NOT_SUPPORTED, 0});
    fw->SetFault(3, {TSimFaultKind::Stall});
    fw->SetFault(4, {TSimFaultKind::Short, 0, 3});
    fw->SetFault(5, {TSimFaultKind::Timeout});
    fw->SetUnansweredLimit(std::chrono::milliseconds(20));
    std::vector<uint8_t> out;
    EXPECT_EQ(ERROR_SUCCESS, ReadVia(*h, 0x45, out, 4));
    EXPECT_EQ(ERROR_NOT_SUPPORTED, ReadVia(*h, 0x45, out, 4));
    EXPECT_EQ(ERROR_GEN_FAILURE, ReadVia(*h, 0x45, out, 4));
    EXPECT_EQ(ERROR_SUCCESS, ReadVia(*h, 0x45, out, 4));
    EXPECT_EQ(1u, out.size());
    EXPECT_EQ(ERROR_SEM_TIMEOUT, ReadVia(*h, 0x45, out, 4));
    EXPECT_EQ(ERROR_SUCCESS, ReadVia(*h, 0x45, out, 4));
    EXPECT_EQ(6u, fw->VendorRequestCount());

    // An overlapped request the device never answers stays pending until the driver gives up.
    fw->SetFault(7, {TSimFaultKind::Timeout});
    auto block = Block(0x45, 0, 0);
    auto io = h->IoControlAsync(FAMILY_IOCTL_VENDOR_REQUEST, block.data(), 8, 4);
    uint32_t returned;
    EXPECT_EQ(ERROR_IO_INCOMPLETE, io->Result(returned));
    EXPECT_FALSE(io->Wait(1));
    EXPECT_TRUE(io->Wait(INFINITE_WAIT));
    EXPECT_EQ(ERROR_SEM_TIMEOUT, io->Result(returned));
    io = h->IoControlAsync(FAMILY_IOCTL_VENDOR_REQUEST, block.data(), 8, 4);
    ASSERT_TRUE(io->Wait(0));
    EXPECT_EQ(ERROR_SUCCESS, io->Result(returned));
    EXPECT_EQ(4u, returned);
    EXPECT_EQ(2, io->Output()[0]);
}

TEST(SimDevice, DroppingOffTheBusFailsTheHandles) {
    for (TUsbDriverKind kind : {TUsbDriverKind::Family, TUsbDriverKind::Generic}) {
        TBench bench;
        auto fw = PlugTestFirmware(bench.fBus, kind);
        const std::string path = fw->Path();
        auto h = bench.Open(*fw);
        uint32_t removed = kind == TUsbDriverKind::Family ? ERROR_DEVICE_REMOVED : ERROR_INVALID_HANDLE;
        uint8_t buf[8];
        uint32_t n;
        TUsbSetupPacket setup{0xC0, 0x45, 0, 0, 4};
        auto request = [&] {
            if (kind == TUsbDriverKind::Generic)
                return h->ControlTransfer(setup, buf, 4, n);
            std::vector<uint8_t> out;
            return ReadVia(*h, 0x45, out, 4);
        };
        uint32_t pending = 0;
        if (kind == TUsbDriverKind::Generic) {
            ASSERT_EQ(ERROR_SUCCESS, h->InitializeGeneric());
            ASSERT_EQ(ERROR_IO_PENDING, h->SubmitPipeRead(SIM_PIPE_EVENT_IN, buf, 8, 5, pending));
        }
        fw->SetFault(2, {TSimFaultKind::DropOff});
        EXPECT_EQ(ERROR_SUCCESS, request());
        EXPECT_EQ(removed, request());
        EXPECT_FALSE(fw->IsAttached());
        EXPECT_EQ(removed, request());
        if (kind == TUsbDriverKind::Generic) {
            uintptr_t tag;
            uint32_t result;
            ASSERT_TRUE(h->WaitPipeRead(SIM_PIPE_EVENT_IN, tag, n, result));
            EXPECT_EQ(removed, result);
        } else {
            EXPECT_EQ(removed, h->ReadStream(buf, 8, n));
        }
        std::unique_ptr<TUsbHandle> again;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, bench.fBus.Open(path, again));
        bench.Drain();
    }
}

TEST(SimDevice, ReEnumeratesAsItsBootloaderAndBack) {
    TBench bench;
    auto fw = PlugTestFirmware(bench.fBus, TUsbDriverKind::Family);
    auto h = bench.Open(*fw);
    fw->fState->Serial[0] = 42;
    std::vector<uint8_t> out;
    ASSERT_EQ(ERROR_SUCCESS, ReadVia(*h, 0xFF, out, 0)); // answered, then gone
    EXPECT_FALSE(fw->IsAttached());
    auto stub = fw->fState->Stub.lock();
    ASSERT_TRUE(stub);
    EXPECT_TRUE(stub->IsAttached());
    EXPECT_NE(std::string::npos, stub->Path().find("f4d2667f-49bb")); // published under the bootloader class
    auto hs = bench.Open(*stub);
    ASSERT_EQ(ERROR_SUCCESS, ReadVia(*hs, TEST_REQ_SERIAL, out, 8));
    EXPECT_EQ(42, out[0]); // the state went along
    ASSERT_EQ(ERROR_SUCCESS, ReadVia(*hs, TEST_REQ_LEAVE_STUB, out, 0));
    EXPECT_FALSE(stub->IsAttached());
    EXPECT_TRUE(fw->IsAttached());
    auto h2 = bench.Open(*fw);
    ASSERT_EQ(ERROR_SUCCESS, ReadVia(*h2, TEST_REQ_SERIAL, out, 8));
    EXPECT_EQ(42, out[0]);
    EXPECT_EQ(ERROR_DEVICE_REMOVED, ReadVia(*h, TEST_REQ_SERIAL, out, 8)); // the old handle stays dead
    bench.Drain();
}
