#include "platform/Http.h"

#include "platform/posix/CurlLibrary.h"

#include <optional>

namespace {

using TClock = std::chrono::steady_clock;

// One transfer: its limits, the bytes so far and the reason it was ended early, if any.
struct TTransfer {
    TTransfer(const TCurlLibrary& ALib, CURL* ACurl, const THttpOptions& AOptions,
              const std::atomic<bool>& ACancel, std::vector<std::uint8_t>& ABody)
        : fLib(ALib), hCurl(ACurl), fOptions(AOptions), fCancel(ACancel), fBody(ABody) {}

    const TCurlLibrary& fLib;
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
    transfer->fLib.EasyGetinfo(transfer->hCurl, CURLINFO_RESPONSE_CODE, &status);
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
CURLcode Perform(const TCurlLibrary& ALib, CURL* hCurl, TTransfer& ATransfer) {
    CURLM* hMulti = ALib.MultiInit();
    if (!hMulti)
        return CURLE_OUT_OF_MEMORY;
    ALib.MultiAddHandle(hMulti, hCurl);
    CURLcode result = CURLE_OK;
    for (int running = 1; running;) {
        if (ALib.MultiPerform(hMulti, &running) != CURLM_OK) {
            result = CURLE_RECV_ERROR;
            break;
        }
        if (running &&
            (ATransfer.Check(-1) || ALib.MultiPoll(hMulti, nullptr, 0, 100, nullptr) != CURLM_OK)) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
    }
    int left = 0;
    while (CURLMsg* message = ALib.MultiInfoRead(hMulti, &left))
        if (message->msg == CURLMSG_DONE)
            result = message->data.result;
    ALib.MultiRemoveHandle(hMulti, hCurl);
    ALib.MultiCleanup(hMulti);
    return result;
}

THttpOutcome Outcome(const TCurlLibrary& ALib, CURL* hCurl, CURLcode AResult, const TTransfer& ATransfer) {
    if (ATransfer.fEndedBy)
        return *ATransfer.fEndedBy;
    long status = 0;
    ALib.EasyGetinfo(hCurl, CURLINFO_RESPONSE_CODE, &status);
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
    // Without libcurl the download fails as one that cannot connect does.
    const TCurlLibrary* lib = CurlLibrary();
    if (!lib)
        return THttpOutcome::Failed;
    CURL* hCurl = lib->EasyInit();
    if (!hCurl)
        return THttpOutcome::Failed;
    TTransfer transfer(*lib, hCurl, AOptions, HttpCancelFlag(AOptions), ABody);
    lib->EasySetopt(hCurl, CURLOPT_URL, AUrl.c_str());
    lib->EasySetopt(hCurl, CURLOPT_NOSIGNAL, 1L);
    lib->EasySetopt(hCurl, CURLOPT_FOLLOWLOCATION, 1L);
    lib->EasySetopt(hCurl, CURLOPT_CONNECTTIMEOUT, AOptions.fConnectTimeoutSeconds);
    lib->EasySetopt(hCurl, CURLOPT_TIMEOUT_MS, long(AOptions.fDeadline.count()));
    // Less than 1 byte per second for the stall time aborts the transfer.
    lib->EasySetopt(hCurl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    lib->EasySetopt(hCurl, CURLOPT_LOW_SPEED_TIME, AOptions.fStallSeconds);
    lib->EasySetopt(hCurl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(AOptions.fMaxBodyBytes));
    // Reads in chunks of at most 10,000 bytes, appended as they arrive.
    lib->EasySetopt(hCurl, CURLOPT_BUFFERSIZE, 10000L);
    lib->EasySetopt(hCurl, CURLOPT_WRITEFUNCTION, AppendChunk);
    lib->EasySetopt(hCurl, CURLOPT_WRITEDATA, &transfer);
    lib->EasySetopt(hCurl, CURLOPT_XFERINFOFUNCTION, CheckProgress);
    lib->EasySetopt(hCurl, CURLOPT_XFERINFODATA, &transfer);
    lib->EasySetopt(hCurl, CURLOPT_NOPROGRESS, 0L);
    const CURLcode result = Perform(*lib, hCurl, transfer);
    const THttpOutcome outcome = Outcome(*lib, hCurl, result, transfer);
    lib->EasyCleanup(hCurl);
    if (outcome != THttpOutcome::Downloaded)
        ABody.clear();
    return outcome;
}
