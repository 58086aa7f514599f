#include "platform/Http.h"

#include <curl/curl.h>

#include <mutex>
#include <optional>

namespace {

using TClock = std::chrono::steady_clock;

// libcurl wants one global initialisation per process before the first handle.
void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// One transfer: its limits, the bytes so far and the reason it was ended early, if any.
struct TTransfer {
    TTransfer(CURL* ACurl, const THttpOptions& AOptions, const std::atomic<bool>& ACancel,
              std::vector<std::uint8_t>& ABody)
        : hCurl(ACurl), fOptions(AOptions), fCancel(ACancel), fBody(ABody) {}

    CURL* hCurl;
    const THttpOptions& fOptions;
    const std::atomic<bool>& fCancel;
    std::vector<std::uint8_t>& fBody;
    TClock::time_point fStart = TClock::now();
    TClock::time_point fLastData = fStart;
    TClock::time_point fWindowStart = fStart;
    std::size_t fWindowStartBytes = 0;
    std::optional<THttpOutcome> fEndedBy;

    // Records the first reason to end the transfer; true when there is one.
    bool Check(curl_off_t AAnnouncedBytes) {
        if (!fEndedBy)
            fEndedBy = Reason(AAnnouncedBytes);
        return fEndedBy.has_value();
    }

private:
    std::optional<THttpOutcome> Reason(curl_off_t AAnnouncedBytes) {
        if (fCancel.load())
            return THttpOutcome::Cancelled;
        if (AAnnouncedBytes > 0 && std::uint64_t(AAnnouncedBytes) > fOptions.fMaxBodyBytes)
            return THttpOutcome::TooLarge;
        const auto now = TClock::now();
        if (now - fStart >= fOptions.fDeadline ||
            now - fLastData >= std::chrono::seconds(fOptions.fStallSeconds))
            return THttpOutcome::TooSlow;
        // The average rate is judged over whole windows, so a slow start is not held against a
        // transfer that then keeps up.
        if (now - fWindowStart >= fOptions.fRateWindow) {
            const double seconds = std::chrono::duration<double>(now - fWindowStart).count();
            if (double(fBody.size() - fWindowStartBytes) < double(fOptions.fMinBytesPerSecond) * seconds)
                return THttpOutcome::TooSlow;
            fWindowStart = now;
            fWindowStartBytes = fBody.size();
        }
        return std::nullopt;
    }
};

size_t AppendChunk(char* AData, size_t ASize, size_t ACount, void* AUser) {
    auto* transfer = static_cast<TTransfer*>(AUser);
    const size_t bytes = ASize * ACount;
    // An answer other than 200 is not a download: its body is not even read.
    long status = 0;
    curl_easy_getinfo(transfer->hCurl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        transfer->fEndedBy = THttpOutcome::NotOk;
        return CURL_WRITEFUNC_ERROR;
    }
    if (bytes > transfer->fOptions.fMaxBodyBytes - transfer->fBody.size()) {
        transfer->fEndedBy = THttpOutcome::TooLarge;
        return CURL_WRITEFUNC_ERROR;
    }
    transfer->fBody.insert(transfer->fBody.end(), reinterpret_cast<std::uint8_t*>(AData),
                           reinterpret_cast<std::uint8_t*>(AData) + bytes);
    transfer->fLastData = TClock::now();
    return bytes;
}

int CheckProgress(void* AUser, curl_off_t ADownloadTotal, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<TTransfer*>(AUser)->Check(ADownloadTotal) ? 1 : 0;
}

// Runs the transfer on a multi handle that wakes at least every 100 ms, so cancellation and the
// deadline take effect at once even while the server sends nothing.
CURLcode Perform(CURL* hCurl, TTransfer& ATransfer) {
    CURLM* hMulti = curl_multi_init();
    if (!hMulti)
        return CURLE_OUT_OF_MEMORY;
    curl_multi_add_handle(hMulti, hCurl);
    CURLcode result = CURLE_OK;
    for (int running = 1; running;) {
        if (curl_multi_perform(hMulti, &running) != CURLM_OK) {
            result = CURLE_RECV_ERROR;
            break;
        }
        if (running &&
            (ATransfer.Check(-1) || curl_multi_poll(hMulti, nullptr, 0, 100, nullptr) != CURLM_OK)) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(hMulti, &left))
        if (message->msg == CURLMSG_DONE)
            result = message->data.result;
    curl_multi_remove_handle(hMulti, hCurl);
    curl_multi_cleanup(hMulti);
    return result;
}

THttpOutcome Outcome(CURL* hCurl, CURLcode AResult, const TTransfer& ATransfer) {
    if (ATransfer.fEndedBy)
        return *ATransfer.fEndedBy;
    long status = 0;
    curl_easy_getinfo(hCurl, CURLINFO_RESPONSE_CODE, &status);
    switch (AResult) {
    case CURLE_OK:
        // A 200 answer with an empty body never reached the write callback.
        return status == 200 ? THttpOutcome::Downloaded : THttpOutcome::NotOk;
    case CURLE_FILESIZE_EXCEEDED:
        return THttpOutcome::TooLarge;
    case CURLE_OPERATION_TIMEDOUT:
        return status == 0 ? THttpOutcome::Failed : THttpOutcome::TooSlow;
    default:
        return THttpOutcome::Failed;
    }
}

} // namespace

THttpOutcome HttpDownload(const std::string& AUrl, std::vector<std::uint8_t>& ABody,
                          const THttpOptions& AOptions) {
    ABody.clear();
    InitCurlOnce();
    CURL* hCurl = curl_easy_init();
    if (!hCurl)
        return THttpOutcome::Failed;
    TTransfer transfer(hCurl, AOptions, HttpCancelFlag(AOptions), ABody);
    curl_easy_setopt(hCurl, CURLOPT_URL, AUrl.c_str());
    curl_easy_setopt(hCurl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(hCurl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(hCurl, CURLOPT_CONNECTTIMEOUT, AOptions.fConnectTimeoutSeconds);
    curl_easy_setopt(hCurl, CURLOPT_TIMEOUT_MS, long(AOptions.fDeadline.count()));
    // Less than 1 byte per second for the stall time aborts the transfer.
    curl_easy_setopt(hCurl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(hCurl, CURLOPT_LOW_SPEED_TIME, AOptions.fStallSeconds);
    curl_easy_setopt(hCurl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(AOptions.fMaxBodyBytes));
    // Reads in chunks of at most 10,000 bytes, appended as they arrive.
    curl_easy_setopt(hCurl, CURLOPT_BUFFERSIZE, 10000L);
    curl_easy_setopt(hCurl, CURLOPT_WRITEFUNCTION, AppendChunk);
    curl_easy_setopt(hCurl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(hCurl, CURLOPT_XFERINFOFUNCTION, CheckProgress);
    curl_easy_setopt(hCurl, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(hCurl, CURLOPT_NOPROGRESS, 0L);
    const CURLcode result = Perform(hCurl, transfer);
    const THttpOutcome outcome = Outcome(hCurl, result, transfer);
    curl_easy_cleanup(hCurl);
    if (outcome != THttpOutcome::Downloaded)
        ABody.clear();
    return outcome;
}
