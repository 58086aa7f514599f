#include "platform/win32/Win32FamilyHandle.h"

#include "tests/win32/FakeWin32Api.h"

#include <thread>

namespace {

struct Win32FamilyHandle : ::testing::Test {
    TFakeWin32 fake;
    std::unique_ptr<TWin32FamilyHandle> handle = std::make_unique<TWin32FamilyHandle>(
        std::make_shared<TWin32Api>(TFakeWin32::Api()), TFakeWin32::Device);
};

TEST_F(Win32FamilyHandle, ControlCodesPassExactlyAndByteCountsAreChecked) {
    const uint8_t block[8] = {0x81, 0, 0x34, 0x12, 0, 0, 0, 0}; // vendor request 0x81, value 0x1234
    const uint8_t level[2] = {0xFF, 0x0E};
    struct TCase {
        uint32_t Code;
        const uint8_t* In;
        uint32_t InSize;
        uint32_t OutSize;
        TFakeWin32::TAnswer Answer;
        uint32_t Result;
        uint32_t Returned;
        const char* Call;
    } cases[] = {
        {0x222000, block, 8, 4, {0, {1, 2, 3, 4}, 4}, 0, 4, "DeviceIoControl 0x222000 in 8 out 4"},
        {0x222204, nullptr, 0, 2, {0, {0x17, 0x02}, 2, true}, 0, 2, "DeviceIoControl 0x222204 in 0 out 2"},
        {0x222208,
         nullptr,
         0,
         18,
         {0, {}, 19},
         ERROR_INVALID_DATA,
         0,
         "DeviceIoControl 0x222208 in 0 out 18"},
        {0x222054,
         level,
         2,
         0,
         {ERROR_GEN_FAILURE, {}, 0},
         ERROR_GEN_FAILURE,
         0,
         "DeviceIoControl 0x222054 in 2 out 0"},
        {0x222214,
         nullptr,
         0,
         8,
         {ERROR_DEVICE_REMOVED, {}, 0, true},
         ERROR_DEVICE_REMOVED,
         0,
         "DeviceIoControl 0x222214 in 0 out 8"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Call);
        fake.Calls.clear();
        fake.Inputs.clear();
        fake.Answers = {c.Answer};
        uint8_t out[32] = {};
        uint32_t returned = 99;
        std::thread driver([&] { // a pending request is finished while the caller waits
            if (!c.Answer.Pending)
                return;
            while (fake.PendingCount() == 0)
                std::this_thread::yield();
            fake.Complete(fake.Requests.size() - 1);
        });
        EXPECT_EQ(c.Result, handle->IoControl(c.Code, c.In, c.InSize, out, c.OutSize, returned));
        driver.join();
        EXPECT_EQ(c.Returned, returned);
        ASSERT_FALSE(fake.Calls.empty());
        EXPECT_EQ(c.Call, fake.Calls.front());
        EXPECT_EQ(std::vector<uint8_t>(c.In, c.In + c.InSize), fake.Inputs.at(0));
        if (c.Result == 0) {
            EXPECT_EQ(0, std::memcmp(out, c.Answer.Output.data(), c.Returned));
        }
    }
}

TEST_F(Win32FamilyHandle, AnAsyncRequestKeepsItsBuffersUntilTheCloseHasCancelledAndWaitedForIt) {
    fake.Answers = {{0, {5, 6}, 2, true}, {0, {}, 0, true}};
    const uint8_t block[8] = {0x82};
    auto done = handle->IoControlAsync(0x222000, block, 8, 2);
    uint32_t returned = 0;
    EXPECT_FALSE(done->Wait(0));
    EXPECT_EQ(uint32_t(ERROR_IO_INCOMPLETE), done->Result(returned));
    fake.Complete(0);
    EXPECT_TRUE(done->Wait(INFINITE_WAIT));
    EXPECT_EQ(0u, done->Result(returned));
    EXPECT_EQ(2u, returned);
    EXPECT_EQ((std::vector<uint8_t>{5, 6}), done->Output());

    handle->IoControlAsync(0x222000, block, 8, 0).reset(); // the caller lets go at once
    fake.Calls.clear();
    handle.reset();
    EXPECT_EQ((std::vector<std::string>{"CancelIoEx all", "GetOverlappedResult wait", "CloseHandle device"}),
              fake.Calls);
    EXPECT_EQ(0u, done->Result(returned)); // an outcome taken before the close stays readable
}

TEST_F(Win32FamilyHandle, StreamReadsReportErrorsAndEndOnCancelLatchedOrPending) {
    uint8_t buffer[16];
    uint32_t read = 0;
    fake.Answers = {{0, {1, 2, 3}, 3}, {0, {}, 17}, {ERROR_DEVICE_REMOVED, {}, 0}};
    EXPECT_EQ(0u, handle->ReadStream(buffer, 16, read));
    EXPECT_EQ(3u, read);
    EXPECT_EQ(uint32_t(ERROR_INVALID_DATA),
              handle->ReadStream(buffer, 16, read)); // more than the buffer holds
    EXPECT_EQ(uint32_t(ERROR_DEVICE_REMOVED), handle->ReadStream(buffer, 16, read));

    // A cancel with no read pending ends the next read before it reaches the driver.
    handle->CancelStreamRead();
    fake.Calls.clear();
    EXPECT_EQ(uint32_t(ERROR_OPERATION_ABORTED), handle->ReadStream(buffer, 16, read));
    EXPECT_TRUE(fake.Calls.empty());

    // A cancel while a read is pending cancels that read and waits for it before returning.
    fake.Answers = {{0, {}, 0, true}};
    std::thread canceller([&] {
        while (fake.PendingCount() == 0)
            std::this_thread::yield();
        handle->CancelStreamRead();
    });
    EXPECT_EQ(uint32_t(ERROR_OPERATION_ABORTED), handle->ReadStream(buffer, 16, read));
    canceller.join();
    EXPECT_EQ((std::vector<std::string>{"ReadFile 16", "CancelIoEx one", "GetOverlappedResult wait"}),
              fake.Calls);
}

TEST_F(Win32FamilyHandle, RefusesTheGenericDriversCalls) {
    uint32_t transferred = 0;
    TUsbSetupPacket setup{};
    EXPECT_EQ(uint32_t(ERROR_INVALID_FUNCTION), handle->InitializeGeneric());
    EXPECT_EQ(uint32_t(ERROR_INVALID_HANDLE), handle->ControlTransfer(setup, nullptr, 0, transferred));
    EXPECT_EQ(uint32_t(ERROR_INVALID_HANDLE), handle->SetPipePolicy(0x81, RAW_IO, 1));
    EXPECT_EQ(uint32_t(ERROR_INVALID_HANDLE), handle->SubmitPipeRead(0x81, nullptr, 0, 1, transferred));
    EXPECT_TRUE(fake.Calls.empty());
}

} // namespace
