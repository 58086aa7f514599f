#pragma once
// A fake of the Win32 entry points the USB units call: a scripted driver behind one fake device
// handle. Events and waits are the system's own, so overlapped requests really block and wake.
// Every call that matters to a device is written to Calls, in order.
#include "platform/win32/Win32Api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct TFakeWin32 {
    // What the driver answers to the next request: at once (Pending false) or later.
    struct TAnswer {
        DWORD Error = 0;
        std::vector<uint8_t> Output;
        DWORD Returned = 0;
        bool Pending = false;
    };
    // A request the driver has not completed yet.
    struct TRequest {
        OVERLAPPED* Overlapped;
        void* Out;
        DWORD OutSize;
        TAnswer Answer;
        int Pipe = -1;
        bool Done = false;
    };

    static inline TFakeWin32* Current = nullptr;
    static inline thread_local DWORD LastError = 0;
    static inline const HANDLE Device = reinterpret_cast<HANDLE>(0x4D0);
    static inline const HANDLE WinUsbInterface = reinterpret_cast<HANDLE>(0x4E0);

    TFakeWin32() { Current = this; }
    ~TFakeWin32() { Current = nullptr; }

    std::mutex M;
    std::vector<std::string> Calls;
    std::deque<TAnswer> Answers;
    std::deque<TRequest> Requests;
    std::vector<std::vector<uint8_t>> Inputs; // the input bytes of every control code, setup packet or policy

    void Log(const std::string& ACall) {
        std::lock_guard lock(M);
        Calls.push_back(ACall);
    }
    static BOOL Fail(DWORD AError) {
        LastError = AError;
        return FALSE;
    }
    static std::string Hex(DWORD AValue) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(AValue));
        return text;
    }

    // Runs the next scripted answer for a request into AOut.
    BOOL Answer(OVERLAPPED* AOverlapped, void* AOut, DWORD AOutSize, DWORD* AReturned, int APipe) {
        std::lock_guard lock(M);
        TAnswer answer;
        if (!Answers.empty()) {
            answer = Answers.front();
            Answers.pop_front();
        }
        if (answer.Pending) {
            Requests.push_back({AOverlapped, AOut, AOutSize, answer, APipe});
            return Fail(ERROR_IO_PENDING);
        }
        if (answer.Error)
            return Fail(answer.Error);
        std::memcpy(AOut, answer.Output.data(), std::min<size_t>(AOutSize, answer.Output.size()));
        if (AReturned)
            *AReturned = answer.Returned;
        return TRUE;
    }
    // Requests made and not completed yet.
    size_t PendingCount() {
        std::lock_guard lock(M);
        return size_t(
            std::count_if(Requests.begin(), Requests.end(), [](const TRequest& r) { return !r.Done; }));
    }
    // Completes request AIndex (in the order they were made) with AError, or as scripted.
    void Complete(size_t AIndex, DWORD AError = 0) {
        std::lock_guard lock(M);
        CompleteLocked(Requests.at(AIndex), AError);
    }
    void CompleteLocked(TRequest& ARequest, DWORD AError) {
        if (ARequest.Done)
            return;
        ARequest.Done = true;
        if (AError)
            ARequest.Answer.Error = AError;
        else
            std::memcpy(ARequest.Out, ARequest.Answer.Output.data(),
                        std::min<size_t>(ARequest.OutSize, ARequest.Answer.Output.size()));
        ::SetEvent(ARequest.Overlapped->hEvent);
    }
    BOOL Result(OVERLAPPED* AOverlapped, DWORD* AReturned, BOOL AWait) {
        Log(AWait ? "GetOverlappedResult wait" : "GetOverlappedResult");
        // Like the system, a wait blocks until the driver completes the request (here: the test).
        if (AWait && ::WaitForSingleObject(AOverlapped->hEvent, 10000) != WAIT_OBJECT_0)
            ADD_FAILURE() << "a wait for a request nobody completes";
        std::lock_guard lock(M);
        for (auto it = Requests.rbegin(); it != Requests.rend(); ++it)
            if (it->Overlapped == AOverlapped) {
                if (!it->Done)
                    return Fail(ERROR_IO_INCOMPLETE);
                if (it->Answer.Error)
                    return Fail(it->Answer.Error);
                *AReturned = it->Answer.Returned;
                return TRUE;
            }
        ADD_FAILURE() << "result of an unknown request";
        return Fail(ERROR_INVALID_PARAMETER);
    }
    void CancelAll(int APipe) {
        std::lock_guard lock(M);
        for (auto& request : Requests)
            if (APipe < 0 || request.Pipe == APipe)
                CompleteLocked(request, ERROR_OPERATION_ABORTED);
    }

    // --- the entry points ---
    static BOOL WINAPI DeviceIoControl(HANDLE, DWORD ACode, LPVOID AIn, DWORD AInSize, LPVOID AOut,
                                       DWORD AOutSize, LPDWORD AReturned, LPOVERLAPPED AOverlapped) {
        Current->Log("DeviceIoControl " + Hex(ACode) + " in " + std::to_string(AInSize) + " out " +
                     std::to_string(AOutSize));
        const auto* in = static_cast<const uint8_t*>(AIn);
        Current->Inputs.emplace_back(in, in + AInSize);
        return Current->Answer(AOverlapped, AOut, AOutSize, AReturned, -1);
    }
    static BOOL WINAPI ReadFile(HANDLE, LPVOID ABuffer, DWORD ASize, LPDWORD ARead,
                                LPOVERLAPPED AOverlapped) {
        Current->Log("ReadFile " + std::to_string(ASize));
        return Current->Answer(AOverlapped, ABuffer, ASize, ARead, -1);
    }
    static BOOL WINAPI GetOverlappedResult(HANDLE, LPOVERLAPPED AOverlapped, LPDWORD AReturned, BOOL AWait) {
        return Current->Result(AOverlapped, AReturned, AWait);
    }
    static BOOL WINAPI CancelIoEx(HANDLE, LPOVERLAPPED AOverlapped) {
        Current->Log(AOverlapped ? "CancelIoEx one" : "CancelIoEx all");
        Current->CancelAll(-1);
        return TRUE;
    }
    static BOOL WINAPI CloseHandle(HANDLE AHandle) {
        if (AHandle != Device)
            return ::CloseHandle(AHandle);
        Current->Log("CloseHandle device");
        return TRUE;
    }
    static DWORD WINAPI GetLastError() { return LastError; }

    static BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE, TUsbSetupPacket ASetup, PUCHAR ABuffer,
                                              ULONG ALength, PULONG ATransferred, LPOVERLAPPED) {
        Current->Log("WinUsb_ControlTransfer " + std::to_string(ALength));
        const auto* setup = reinterpret_cast<const uint8_t*>(&ASetup);
        Current->Inputs.emplace_back(setup, setup + sizeof ASetup);
        return Current->Answer(nullptr, ABuffer, ALength, ATransferred, -1);
    }
    static BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE, UCHAR APipe, ULONG AType, ULONG ALength,
                                            PVOID AValue) {
        Current->Log("WinUsb_SetPipePolicy " + Hex(APipe) + " " + std::to_string(AType) + " " +
                     std::to_string(ALength));
        const auto* value = static_cast<const uint8_t*>(AValue);
        Current->Inputs.emplace_back(value, value + ALength);
        return TRUE;
    }
    static BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE, UCHAR APipe, PUCHAR ABuffer, ULONG ASize,
                                       PULONG ATransferred, LPOVERLAPPED AOverlapped) {
        Current->Log("WinUsb_ReadPipe " + Hex(APipe) + " " + std::to_string(ASize));
        return Current->Answer(AOverlapped, ABuffer, ASize, ATransferred, APipe);
    }
    static BOOL WINAPI WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE, LPOVERLAPPED AOverlapped,
                                                  LPDWORD ATransferred, BOOL AWait) {
        return Current->Result(AOverlapped, ATransferred, AWait);
    }
    static BOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE, UCHAR APipe) {
        Current->Log("WinUsb_AbortPipe " + Hex(APipe));
        Current->CancelAll(APipe);
        return TRUE;
    }
    static BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE) {
        Current->Log("WinUsb_Free");
        return TRUE;
    }

    // The system's table with the device's entry points replaced.
    static TWin32Api Api() {
        TWin32Api api = DefaultWin32Api();
        api.DeviceIoControl = DeviceIoControl;
        api.ReadFile = ReadFile;
        api.GetOverlappedResult = GetOverlappedResult;
        api.CancelIoEx = CancelIoEx;
        api.CloseHandle = CloseHandle;
        api.GetLastError = GetLastError;
        return api;
    }
    static TWinUsbApi WinUsbApi() {
        TWinUsbApi api;
        api.WinUsb_ControlTransfer = WinUsb_ControlTransfer;
        api.WinUsb_SetPipePolicy = WinUsb_SetPipePolicy;
        api.WinUsb_ReadPipe = WinUsb_ReadPipe;
        api.WinUsb_GetOverlappedResult = WinUsb_GetOverlappedResult;
        api.WinUsb_AbortPipe = WinUsb_AbortPipe;
        api.WinUsb_Free = WinUsb_Free;
        return api;
    }
};
