#include "platform/Http.h"

#include <curl/curl.h>

#include <mutex>

namespace {

// libcurl wants one global initialisation per process before the first handle.
void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t AppendChunk(char* AData, size_t ASize, size_t ACount, void* AUser) {
    auto* body = static_cast<std::vector<std::uint8_t>*>(AUser);
    const size_t bytes = ASize * ACount;
    body->insert(body->end(), reinterpret_cast<std::uint8_t*>(AData),
                 reinterpret_cast<std::uint8_t*>(AData) + bytes);
    return bytes;
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
    curl_easy_setopt(hCurl, CURLOPT_WRITEFUNCTION, AppendChunk);
    curl_easy_setopt(hCurl, CURLOPT_WRITEDATA, &ABody);
    const CURLcode result = curl_easy_perform(hCurl);
    curl_easy_cleanup(hCurl);
    if (result != CURLE_OK) {
        ABody.clear();
        return false;
    }
    return true;
}
