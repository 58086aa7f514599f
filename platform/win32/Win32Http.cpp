// The download over WinInet. The blocking WinInet calls run on a thread of their own, so that the
// caller can end a transfer at once on cancellation, at the deadline, on a stall or when it is too
// slow: it then closes the handles, which ends the blocked call, and leaves the thread to finish
// on its own.
#include "platform/Http.h"

#include "platform/win32/Win32Text.h"

#include <wininet.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using TClock = std::chrono::steady_clock;

// Always from the network, never cached, no dialogs.
constexpr DWORD UrlFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI | INTERNET_FLAG_PRAGMA_NOCACHE;
static_assert(UrlFlags == 0x84000300);
constexpr DWORD ReadSize = 10000;

// What the transfer thread and the caller share; the thread may outlive the call.
struct TTransferState {
    std::mutex fLock;
    std::condition_variable fChanged;
    HINTERNET hInternet = nullptr;
    HINTERNET hUrl = nullptr;
    std::vector<std::uint8_t> fBody;
    TClock::time_point fLastData = TClock::now();
    std::optional<THttpOutcome> fOutcome;
    bool fAbandoned = false;

    // Closes whatever is still open; the first closer wins. Called with fLock held.
    void CloseHandles() {
        if (hUrl)
            InternetCloseHandle(hUrl);
        if (hInternet)
            InternetCloseHandle(hInternet);
        hUrl = hInternet = nullptr;
    }
};

void SetTimeout(HINTERNET hInternet, DWORD AOption, long long AMilliseconds) {
    DWORD value = DWORD(std::clamp<long long>(AMilliseconds, 1, 0x7FFFFFFF));
    InternetSetOptionW(hInternet, AOption, &value, sizeof value);
}

// The answer's status code; 0 when the system gives none that can be believed.
DWORD StatusCode(HINTERNET hUrl) {
    DWORD status = 0;
    DWORD length = sizeof status;
    if (!HttpQueryInfoW(hUrl, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, nullptr) ||
        length != sizeof status)
        return 0;
    return status;
}

// The announced body length, when the answer announces one that reads as a number.
std::optional<unsigned long long> ContentLength(HINTERNET hUrl) {
    wchar_t text[32] = {};
    DWORD length = sizeof text - sizeof text[0];
    if (!HttpQueryInfoW(hUrl, HTTP_QUERY_CONTENT_LENGTH, text, &length, nullptr) || length >= sizeof text)
        return std::nullopt;
    wchar_t* end = nullptr;
    const unsigned long long value = wcstoull(text, &end, 10);
    if (end == text)
        return std::nullopt;
    return value;
}

// Runs the WinInet calls. Every outcome is set under the lock; after the caller has abandoned the
// transfer nothing more is added.
void RunTransfer(std::shared_ptr<TTransferState> AState, std::wstring AUrl, THttpOptions AOptions) {
    auto finish = [&](THttpOutcome AOutcome) {
        std::lock_guard<std::mutex> lock(AState->fLock);
        if (!AState->fOutcome)
            AState->fOutcome = AOutcome;
        AState->CloseHandles();
        AState->fChanged.notify_all();
    };
    HINTERNET hInternet = InternetOpenA(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!hInternet)
        return finish(THttpOutcome::Failed);
    SetTimeout(hInternet, INTERNET_OPTION_CONNECT_TIMEOUT, AOptions.fConnectTimeoutSeconds * 1000LL);
    SetTimeout(hInternet, INTERNET_OPTION_RECEIVE_TIMEOUT, AOptions.fStallSeconds * 1000LL);
    SetTimeout(hInternet, INTERNET_OPTION_SEND_TIMEOUT, AOptions.fStallSeconds * 1000LL);
    {
        std::lock_guard<std::mutex> lock(AState->fLock);
        if (AState->fAbandoned) {
            InternetCloseHandle(hInternet);
            return;
        }
        AState->hInternet = hInternet;
    }
    HINTERNET hUrl = InternetOpenUrlW(hInternet, AUrl.c_str(), nullptr, 0, UrlFlags, 0);
    {
        std::lock_guard<std::mutex> lock(AState->fLock);
        if (AState->fAbandoned || !AState->hInternet) {
            // The caller closed the Internet handle, and with it this one.
            return;
        }
        AState->hUrl = hUrl;
    }
    if (!hUrl)
        return finish(THttpOutcome::Failed);
    // Only a 200 answer is a download: the body of any other is not even read.
    if (StatusCode(hUrl) != 200)
        return finish(THttpOutcome::NotOk);
    const auto announced = ContentLength(hUrl);
    if (announced && *announced > AOptions.fMaxBodyBytes)
        return finish(THttpOutcome::TooLarge);
    std::vector<std::uint8_t> chunk(ReadSize);
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(hUrl, chunk.data(), ReadSize, &got))
            return finish(GetLastError() == ERROR_INTERNET_TIMEOUT ? THttpOutcome::TooSlow
                                                                   : THttpOutcome::Failed);
        // The count comes back from the system: more than the buffer holds is not believed.
        if (got > ReadSize)
            return finish(THttpOutcome::Failed);
        std::unique_lock<std::mutex> lock(AState->fLock);
        if (AState->fAbandoned)
            return;
        if (got == 0) {
            // WinInet ends a body cut short by a closed connection like a whole one; the announced
            // length tells them apart.
            const bool whole = !announced || *announced == AState->fBody.size();
            lock.unlock();
            return finish(whole ? THttpOutcome::Downloaded : THttpOutcome::Failed);
        }
        if (got > AOptions.fMaxBodyBytes - AState->fBody.size()) {
            lock.unlock();
            return finish(THttpOutcome::TooLarge);
        }
        AState->fBody.insert(AState->fBody.end(), chunk.begin(), chunk.begin() + got);
        AState->fLastData = TClock::now();
        AState->fChanged.notify_all();
    }
}

// The caller's verdict while the transfer runs: a reason to end it, if any. Called with the lock held.
class TWatch {
public:
    TWatch(const THttpOptions& AOptions, const std::atomic<bool>& ACancel)
        : fOptions(AOptions), fCancel(ACancel) {}

    std::optional<THttpOutcome> Reason(const TTransferState& AState) {
        if (fCancel.load())
            return THttpOutcome::Cancelled;
        const auto now = TClock::now();
        if (now - fStart >= fOptions.fDeadline ||
            now - AState.fLastData >= std::chrono::seconds(fOptions.fStallSeconds))
            return THttpOutcome::TooSlow;
        // The average rate is judged over whole windows, so a slow start is not held against a
        // transfer that then keeps up.
        if (now - fWindowStart >= fOptions.fRateWindow) {
            const double seconds = std::chrono::duration<double>(now - fWindowStart).count();
            if (double(AState.fBody.size() - fWindowStartBytes) <
                double(fOptions.fMinBytesPerSecond) * seconds)
                return THttpOutcome::TooSlow;
            fWindowStart = now;
            fWindowStartBytes = AState.fBody.size();
        }
        return std::nullopt;
    }

private:
    const THttpOptions& fOptions;
    const std::atomic<bool>& fCancel;
    TClock::time_point fStart = TClock::now();
    TClock::time_point fWindowStart = fStart;
    std::size_t fWindowStartBytes = 0;
};

} // namespace

THttpOutcome HttpDownload(const std::string& AUrl, std::vector<std::uint8_t>& ABody,
                          const THttpOptions& AOptions) {
    ABody.clear();
    const std::atomic<bool>& cancel = HttpCancelFlag(AOptions);
    if (cancel.load())
        return THttpOutcome::Cancelled;
    auto state = std::make_shared<TTransferState>();
    TWatch watch(AOptions, cancel);
    THttpOptions options = AOptions;
    options.fCancel = nullptr;
    std::thread transfer(RunTransfer, state, Utf8ToWide(AUrl), options);
    std::unique_lock<std::mutex> lock(state->fLock);
    // Wakes at least every 100 ms, so cancellation and the deadline take effect at once even while
    // the server sends nothing.
    while (!state->fOutcome) {
        if (const auto reason = watch.Reason(*state)) {
            state->fOutcome = reason;
            state->fAbandoned = true;
            state->CloseHandles();
            break;
        }
        state->fChanged.wait_for(lock, std::chrono::milliseconds(100));
    }
    const THttpOutcome outcome = *state->fOutcome;
    if (outcome == THttpOutcome::Downloaded)
        ABody = std::move(state->fBody);
    const bool abandoned = state->fAbandoned;
    lock.unlock();
    // An abandoned transfer ends by itself once its closed handles fail its blocked call.
    if (abandoned)
        transfer.detach();
    else
        transfer.join();
    return outcome;
}
