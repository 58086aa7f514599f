#include "MyLib/UsbDevice.h"
#include "MyLib/WinUsb.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimTestFamily.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// Records every block it is handed, and on which thread.
class TRecordingDevice : public TUsbDevice {
public:
    TRecordingDevice(const std::string& APath, TEventLoop& ALoop)
        : TUsbDevice(nullptr, APath), fLoop(ALoop) {}
    ~TRecordingDevice() override { Close(); }
    void ProcessData(TUsbBlock ABuffer, uint32_t ABufferSize) override {
        if (!fLoop.IsMainThread())
            ++fOffMainThread;
        fBlocks.emplace_back(ABuffer.get(), ABuffer.get() + ABufferSize);
    }
    TEventLoop& fLoop;
    std::vector<std::vector<uint8_t>> fBlocks;
    int fOffMainThread = 0;
};

struct TBench : ::testing::Test {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};

    bool RunUntil(const std::function<bool()>& APredicate) { return fLoop.RunUntil(APredicate, 10000); }
};

using UsbDevice = TBench;
using PipeReader = TBench;

} // namespace

TEST_F(UsbDevice, OpenStartsTheReaderOnlyWhenAsked) {
    auto fw = PlugTestFirmware(fBus, TUsbDriverKind::Family);
    TRecordingDevice device(fw->Path(), fLoop);
    ASSERT_TRUE(device.Open());
    EXPECT_TRUE(device.Opened());
    TUsbHandle* handle = device.Handle();
    TUsbReadThread* reader = device.ReadThread();
    ASSERT_NE(nullptr, reader);
    EXPECT_FALSE(device.Open()); // already open: nothing changes
    EXPECT_EQ(handle, device.Handle());
    EXPECT_EQ(reader, device.ReadThread());
    device.Close();
    EXPECT_FALSE(device.Opened());
    EXPECT_EQ(nullptr, device.ReadThread());

    device.fPollReads = false;
    ASSERT_TRUE(device.Open());
    EXPECT_EQ(nullptr, device.ReadThread());
    fw->PushData({5, 6});
    device.Poll(); // reading by other means
    ASSERT_EQ(1u, device.fBlocks.size());
    EXPECT_EQ(7u, device.fBlocks[0].size());
    device.Close();

    device.fPollReads = true;
    device.fStartThreadAfterOpen = false;
    ASSERT_TRUE(device.Open());
    EXPECT_EQ(nullptr, device.ReadThread());
    device.Close();

    // A device made from an enumeration entry opens the same interface.
    TUsbDeviceEnumerator members(SimInterfaceClassOf(32));
    ASSERT_EQ(1, members.Count());
    TUsbDevice listed(nullptr, members.DeviceInfo(0));
    EXPECT_EQ(fw->Path(), listed.DevicePath());
    ASSERT_TRUE(listed.Open());
    listed.Close();

    TRecordingDevice missing("\\\\?\\usb#nothing", fLoop);
    EXPECT_FALSE(missing.Open());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, missing.LastError());
}

TEST_F(UsbDevice, BlocksArriveInOrderOnTheMainThreadSentOrPosted) {
    for (bool synchronize : {true, false}) {
        auto fw = PlugTestFirmware(fBus, TUsbDriverKind::Family);
        TRecordingDevice device(fw->Path(), fLoop);
        device.fSynchronizeThread = synchronize;
        ASSERT_TRUE(device.Open());
        // One block per read: each transfer waits until the reader took the previous one.
        for (uint8_t i = 0; i < 50; ++i) {
            if (i == 10)
                fw->PushStreamTransfer({}); // an empty read delivers nothing
            fw->PushStreamTransfer({i, uint8_t(i + 1)});
        }
        ASSERT_TRUE(RunUntil([&] { return device.fBlocks.size() >= 50; }));
        for (uint8_t i = 0; i < 50; ++i)
            EXPECT_EQ((std::vector<uint8_t>{i, uint8_t(i + 1)}), device.fBlocks[i]);
        EXPECT_EQ(0, device.fOffMainThread);
        EXPECT_EQ(0u, device.ReadThread()->LastError());
        device.Close();
        fBus.Unplug(*fw);
    }
}

TEST_F(UsbDevice, CloseDuringHeavyTrafficEndsTheReader) {
    for (bool synchronize : {true, false}) {
        auto fw = PlugTestFirmware(fBus, TUsbDriverKind::Family);
        TRecordingDevice device(fw->Path(), fLoop);
        device.fSynchronizeThread = synchronize;
        ASSERT_TRUE(device.Open());
        std::atomic<bool> stop{false};
        std::thread pusher([&] {
            while (!stop)
                if (fw->PendingStreamBytes() < 100000)
                    fw->PushData(std::vector<uint8_t>(100, 0x5A));
        });
        ASSERT_TRUE(RunUntil([&] { return device.fBlocks.size() >= 20; }));
        device.Close(); // the reader is stopped while blocks keep coming
        EXPECT_FALSE(device.Opened());
        stop = true;
        pusher.join();
        std::size_t seen = device.fBlocks.size();
        fLoop.ProcessMessages(); // nothing left queued for the closed device
        EXPECT_EQ(seen, device.fBlocks.size());
        fBus.Unplug(*fw);
    }
}

TEST_F(UsbDevice, UnplugDuringReadsEndsTheReaderByItself) {
    auto fw = PlugTestFirmware(fBus, TUsbDriverKind::Family);
    TRecordingDevice device(fw->Path(), fLoop);
    ASSERT_TRUE(device.Open());
    ASSERT_TRUE(RunUntil([&] { return fw->WaitingReads() == 1; }));
    std::thread unplug([&] { fBus.Unplug(*fw); });
    unplug.join();
    ASSERT_TRUE(RunUntil([&] { return device.ReadThread()->Ended(); }));
    EXPECT_EQ(ERROR_DEVICE_REMOVED, device.ReadThread()->LastError());
    EXPECT_TRUE(device.Opened()); // the owner closes it on the removal report
    device.Close();
}

TEST_F(UsbDevice, OtherReadErrorsAreRetried) {
    auto fw = PlugTestFirmware(fBus, TUsbDriverKind::Family);
    TRecordingDevice device(fw->Path(), fLoop);
    ASSERT_TRUE(device.Open());
    fw->PushStreamError(ERROR_GEN_FAILURE);
    fw->PushStreamTransfer({1});
    ASSERT_TRUE(RunUntil([&] { return device.fBlocks.size() == 1; }));
    EXPECT_FALSE(device.ReadThread()->Ended());
}

namespace {

struct TPipeSink {
    std::vector<std::vector<uint8_t>> fPackets;
    int fOffMainThread = 0;
    TWinUsbPipeReadDataEvent Handler(TEventLoop& ALoop) {
        return [this, &ALoop](TWinUsbBulkPipeReader*, TUsbBlock ABuffer, uint32_t ALength) {
            if (!ALoop.IsMainThread())
                ++fOffMainThread;
            fPackets.emplace_back(ABuffer.get(), ABuffer.get() + ALength);
        };
    }
};

std::unique_ptr<TUsbHandle> OpenGeneric(TSimBus& ABus, TSimDevice& ADevice) {
    std::unique_ptr<TUsbHandle> handle;
    EXPECT_EQ(ERROR_SUCCESS, ABus.Open(ADevice.Path(), handle));
    EXPECT_EQ(ERROR_SUCCESS, handle->InitializeGeneric());
    return handle;
}

TUsbPipeInformation DataPipe() {
    return {UsbdPipeTypeBulk, SIM_PIPE_DATA_IN, 64, 0};
}

} // namespace

TEST_F(PipeReader, KeepsSixteenReadsOutstandingAndDeliversInOrder) {
    EXPECT_TRUE(LoadWinUsb());
    EXPECT_TRUE(LoadWinUsb());
    for (bool synchronize : {true, false}) {
        auto fw = PlugTestFirmware(fBus, TUsbDriverKind::Generic);
        auto handle = OpenGeneric(fBus, *fw);
        TPipeSink sink;
        TWinUsbBulkPipeReader reader(handle.get(), DataPipe(), sink.Handler(fLoop), synchronize);
        reader.Resume();
        ASSERT_TRUE(RunUntil([&] { return fw->WaitingReads() == 16; }));
        for (uint8_t i = 0; i < 100; ++i) {
            fw->PushPacket(SIM_PIPE_DATA_IN, {i});
            if (i == 50)
                fw->PushPacket(SIM_PIPE_DATA_IN, {}); // a zero-length packet delivers nothing
        }
        ASSERT_TRUE(RunUntil([&] { return sink.fPackets.size() >= 100; }));
        for (uint8_t i = 0; i < 100; ++i)
            EXPECT_EQ(std::vector<uint8_t>{i}, sink.fPackets[i]);
        EXPECT_EQ(0, sink.fOffMainThread);
        ASSERT_TRUE(RunUntil([&] { return fw->WaitingReads() == 16; }));
        reader.Stop(); // every outstanding read is aborted and the worker ends
        EXPECT_TRUE(reader.Ended());
        EXPECT_EQ(0u, fw->WaitingReads());
        fBus.Unplug(*fw);
    }
}

TEST_F(PipeReader, StallResetsThePipeAndOtherErrorsAreLogged) {
    std::vector<std::string> lines;
    std::mutex linesMutex;
    SetDebugOutput([&](const std::string& ALine) {
        std::lock_guard lock(linesMutex);
        lines.push_back(ALine);
    });
    auto fw = PlugTestFirmware(fBus, TUsbDriverKind::Generic);
    auto handle = OpenGeneric(fBus, *fw);
    TPipeSink sink;
    TWinUsbBulkPipeReader reader(handle.get(), DataPipe(), sink.Handler(fLoop), true);
    reader.Resume();
    ASSERT_TRUE(RunUntil([&] { return fw->WaitingReads() == 16; }));
    fw->PushPipeError(SIM_PIPE_DATA_IN, ERROR_GEN_FAILURE);
    fw->PushPipeError(SIM_PIPE_DATA_IN, ERROR_NOT_ENOUGH_MEMORY);
    fw->PushPacket(SIM_PIPE_DATA_IN, {1});
    ASSERT_TRUE(RunUntil([&] { return sink.fPackets.size() == 1; }));
    EXPECT_FALSE(reader.Ended());
    {
        std::lock_guard lock(linesMutex);
        EXPECT_EQ(std::vector<std::string>{"Error 8"}, lines);
    }
    reader.Stop();
    SetDebugOutput(nullptr);
}

TEST_F(PipeReader, ASubmitThatKeepsFailingEndsTheReader) {
    SetDebugOutput([](const std::string&) {});
    auto fw = PlugTestFirmware(fBus, TUsbDriverKind::Generic);
    auto handle = OpenGeneric(fBus, *fw);
    // A stall on every submit: each reset succeeds, yet reading can never start again.
    fw->SetPipeSubmitError(SIM_PIPE_DATA_IN, ERROR_GEN_FAILURE);
    TPipeSink sink;
    TWinUsbBulkPipeReader reader(handle.get(), DataPipe(), sink.Handler(fLoop), true);
    reader.Resume();
    ASSERT_TRUE(RunUntil([&] { return reader.Ended(); }));
    EXPECT_EQ(ERROR_GEN_FAILURE, reader.LastError());

    fw->SetPipeSubmitError(SIM_PIPE_DATA_IN, ERROR_NOT_ENOUGH_MEMORY);
    TWinUsbBulkPipeReader second(handle.get(), DataPipe(), sink.Handler(fLoop), false);
    second.Resume();
    ASSERT_TRUE(RunUntil([&] { return second.Ended(); }));
    SetDebugOutput(nullptr);
}

TEST_F(PipeReader, UnplugEndsTheReaderByItself) {
    auto fw = PlugTestFirmware(fBus, TUsbDriverKind::Generic);
    auto handle = OpenGeneric(fBus, *fw);
    TPipeSink sink;
    TWinUsbBulkPipeReader reader(handle.get(), DataPipe(), sink.Handler(fLoop), false);
    reader.Resume();
    std::atomic<bool> stop{false};
    std::thread pusher([&] {
        while (!stop)
            fw->PushPacket(SIM_PIPE_DATA_IN, std::vector<uint8_t>(64, 1));
    });
    ASSERT_TRUE(RunUntil([&] { return sink.fPackets.size() > 100; }));
    fBus.Unplug(*fw);
    ASSERT_TRUE(RunUntil([&] { return reader.Ended(); }));
    EXPECT_EQ(ERROR_INVALID_HANDLE, reader.LastError());
    stop = true;
    pusher.join();
}
