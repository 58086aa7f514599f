#include "platform/Http.h"

#include <curl/curl.h>

#include <chrono>
#include <mutex>

namespace {

// libcurl wants one global initialisation per process before the first handle.
void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// One transfer: the bytes so far and when the last of them arrived.
struct TTransfer {
    std::vector<std::uint8_t>* fBody;
    std::chrono::steady_clock::time_point fLastData;
    std::chrono::seconds fStall;
};

size_t AppendChunk(char* AData, size_t ASize, size_t ACount, void* AUser) {
    auto* transfer = static_cast<TTransfer*>(AUser);
    const size_t bytes = ASize * ACount;
    transfer->fBody->insert(transfer->fBody->end(), reinterpret_cast<std::uint8_t*>(AData),
                            reinterpret_cast<std::uint8_t*>(AData) + bytes);
    transfer->fLastData = std::chrono::steady_clock::now();
    return bytes;
}

// Called about once a second: ends the transfer once no byte has come for the stall time. The
// low-speed limit alone averages over several seconds and would give up later.
int CheckStall(void* AUser, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* transfer = static_cast<const TTransfer*>(AUser);
    return std::chrono::steady_clock::now() - transfer->fLastData >= transfer->fStall ? 1 : 0;
}

} // namespace

bool HttpGet(const std::string& AUrl, std::vector<std::uint8_t>& ABody, const THttpOptions& AOptions) {
    ABody.clear();
    InitCurlOnce();
    CURL* hCurl = curl_easy_init();
    if (!hCurl)
        return false;
    curl_easy_setopt(hCurl, CURLOPT_URL, AUrl.c_str());
    curl_easy_setopt(hCurl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(hCurl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(hCurl, CURLOPT_CONNECTTIMEOUT, AOptions.fConnectTimeoutSeconds);
    // Less than 1 byte per second for the stall time aborts the transfer.
    curl_easy_setopt(hCurl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(hCurl, CURLOPT_LOW_SPEED_TIME, AOptions.fStallSeconds);
    // Reads in chunks of at most 10,000 bytes, appended as they arrive.
    curl_easy_setopt(hCurl, CURLOPT_BUFFERSIZE, 10000L);
    TTransfer transfer{&ABody, std::chrono::steady_clock::now(),
                       std::chrono::seconds(AOptions.fStallSeconds)};
    curl_easy_setopt(hCurl, CURLOPT_WRITEFUNCTION, AppendChunk);
    curl_easy_setopt(hCurl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(hCurl, CURLOPT_XFERINFOFUNCTION, CheckStall);
    curl_easy_setopt(hCurl, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(hCurl, CURLOPT_NOPROGRESS, 0L);
    const CURLcode result = curl_easy_perform(hCurl);
    curl_easy_cleanup(hCurl);
    if (result != CURLE_OK) {
        ABody.clear();
        return false;
    }
    return true;
}
