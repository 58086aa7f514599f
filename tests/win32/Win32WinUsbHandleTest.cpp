#include "platform/win32/Win32WinUsbHandle.h"

#include "tests/win32/FakeWin32Api.h"

namespace {

struct Win32WinUsbHandle : ::testing::Test {
    TFakeWin32 fake;
    std::unique_ptr<TWin32WinUsbHandle> handle = std::make_unique<TWin32WinUsbHandle>(
        std::make_shared<TWin32Api>(TFakeWin32::Api()), std::make_shared<TWinUsbApi>(TFakeWin32::WinUsbApi()),
        TFakeWin32::Device, TFakeWin32::WinUsbInterface);
};

TEST_F(Win32WinUsbHandle, ControlTransfersSendTheSetupPacketAsGivenAndCheckTheCount) {
    struct TCase {
        TUsbSetupPacket Setup;
        TFakeWin32::TAnswer Answer;
        uint32_t Result;
        uint32_t Transferred;
    } cases[] = {
        {{0xC0, 0x81, 0x1234, 0x0002, 4}, {0, {9, 8, 7, 6}, 4}, 0, 4},
        {{0x40, 0x90, 0, 0, 0}, {0, {}, 0}, 0, 0},
        {{0xC0, 0x81, 0, 0, 4}, {0, {}, 5}, ERROR_INVALID_DATA, 0}, // more than was asked for
        {{0xC0, 0x81, 0, 0, 4}, {ERROR_SEM_TIMEOUT, {}, 0}, ERROR_SEM_TIMEOUT, 0},
    };
    for (const TCase& c : cases) {
        fake.Inputs.clear();
        fake.Answers = {c.Answer};
        uint8_t buffer[4] = {};
        uint32_t transferred = 99;
        EXPECT_EQ(c.Result, handle->ControlTransfer(c.Setup, buffer, c.Setup.Length, transferred));
        EXPECT_EQ(c.Transferred, transferred);
        const auto* setup = reinterpret_cast<const uint8_t*>(&c.Setup);
        EXPECT_EQ(std::vector<uint8_t>(setup, setup + 8), fake.Inputs.at(0));
    }
}

TEST_F(Win32WinUsbHandle, PipePoliciesTravelWithTheirOwnValueSizes) {
    struct TCase {
        uint8_t Pipe;
        uint32_t Policy;
        uint32_t Value;
        std::string Call;
        std::vector<uint8_t> Bytes;
    } cases[] = {
        {0x00, PIPE_TRANSFER_TIMEOUT, 10000, "WinUsb_SetPipePolicy 0x0 3 4", {0x10, 0x27, 0, 0}},
        {0x81, AUTO_CLEAR_STALL, 1, "WinUsb_SetPipePolicy 0x81 2 1", {1}},
        {0x82, RAW_IO, 1, "WinUsb_SetPipePolicy 0x82 7 1", {1}},
    };
    for (const TCase& c : cases) {
        fake.Calls.clear();
        fake.Inputs.clear();
        EXPECT_EQ(0u, handle->SetPipePolicy(c.Pipe, c.Policy, c.Value));
        EXPECT_EQ(std::vector<std::string>{c.Call}, fake.Calls);
        EXPECT_EQ(c.Bytes, fake.Inputs.at(0));
    }
}

TEST_F(Win32WinUsbHandle, PipeReadsCompleteInAnyOrderAbortEndsThemAndCloseWaitsForThem) {
    uint8_t buffers[4][8];
    uint32_t transferred = 0;
    fake.Answers = {{0, {1}, 1}, {0, {2, 2}, 2, true}, {0, {3, 3, 3}, 3, true}, {0, {}, 9, true}};
    EXPECT_EQ(0u, handle->SubmitPipeRead(0x81, buffers[0], 8, 10, transferred));
    EXPECT_EQ(1u, transferred);
    EXPECT_EQ(uint32_t(ERROR_IO_PENDING), handle->SubmitPipeRead(0x81, buffers[1], 8, 11, transferred));
    EXPECT_EQ(uint32_t(ERROR_IO_PENDING), handle->SubmitPipeRead(0x81, buffers[2], 8, 12, transferred));
    EXPECT_EQ(uint32_t(ERROR_IO_PENDING), handle->SubmitPipeRead(0x81, buffers[3], 8, 13, transferred));

    uintptr_t tag = 0;
    uint32_t result = 0;
    fake.Complete(1); // the second pending read finishes first
    ASSERT_TRUE(handle->WaitPipeRead(0x81, tag, transferred, result));
    EXPECT_EQ((std::tuple<uintptr_t, uint32_t, uint32_t>{12, 3, 0}), std::tie(tag, transferred, result));
    fake.Complete(2); // claims more bytes than the buffer holds
    ASSERT_TRUE(handle->WaitPipeRead(0x81, tag, transferred, result));
    EXPECT_EQ((std::tuple<uintptr_t, uint32_t, uint32_t>{13, 0, ERROR_INVALID_DATA}),
              std::tie(tag, transferred, result));
    EXPECT_FALSE(handle->WaitPipeRead(0x82, tag, transferred, result)); // nothing pending there

    fake.Answers = {{0, {}, 0, true}};
    EXPECT_EQ(uint32_t(ERROR_IO_PENDING), handle->SubmitPipeRead(0x82, buffers[3], 8, 20, transferred));
    EXPECT_EQ(0u, handle->AbortPipe(0x81));
    ASSERT_TRUE(handle->WaitPipeRead(0x81, tag, transferred, result));
    EXPECT_EQ((std::tuple<uintptr_t, uint32_t, uint32_t>{11, 0, ERROR_OPERATION_ABORTED}),
              std::tie(tag, transferred, result));
    EXPECT_FALSE(handle->WaitPipeRead(0x81, tag, transferred, result));

    fake.Calls.clear();
    handle.reset(); // the read on 0x82 is still pending
    EXPECT_EQ((std::vector<std::string>{"WinUsb_AbortPipe 0x82", "GetOverlappedResult wait", "WinUsb_Free",
                                        "CloseHandle device"}),
              fake.Calls);
}

TEST_F(Win32WinUsbHandle, RefusesTheFamilyDriversCalls) {
    uint32_t count = 0;
    EXPECT_EQ(0u, handle->InitializeGeneric());
    EXPECT_EQ(uint32_t(ERROR_INVALID_FUNCTION), handle->IoControl(0x222000, nullptr, 0, nullptr, 0, count));
    EXPECT_EQ(uint32_t(ERROR_INVALID_FUNCTION),
              handle->IoControlAsync(0x222000, nullptr, 0, 0)->Result(count));
    EXPECT_EQ(uint32_t(ERROR_INVALID_FUNCTION), handle->ReadStream(nullptr, 0, count));
    EXPECT_TRUE(fake.Calls.empty());
}

} // namespace
