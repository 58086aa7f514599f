#pragma once
// One HTTP GET into memory, bounded in every direction a hostile or broken server could stretch:
// connection time, silence, overall time, average rate and body size. Only a 200 answer is a
// download, and a process-wide cancellation (SIGINT/SIGTERM) ends a transfer at once.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Asks every running and later transfer to end with THttpOutcome::Cancelled. Safe from any thread.
void CancelHttpTransfers();
bool HttpTransfersCancelled();

struct THttpOptions {
    long fConnectTimeoutSeconds = 5;
    // No byte at all for this long ends the transfer.
    long fStallSeconds = 15;
    // The whole transfer, connection included, must end within this time.
    std::chrono::milliseconds fDeadline{60000};
    // Fewer than fMinBytesPerSecond on average over a window of fRateWindow ends the transfer.
    long fMinBytesPerSecond = 1024;
    std::chrono::milliseconds fRateWindow{10000};
    // A body larger than this is refused, by its Content-Length or as soon as it grows past.
    std::size_t fMaxBodyBytes = 1 << 20;
    // The flag that cancels the transfer; the process-wide one unless a test brings its own.
    const std::atomic<bool>* fCancel = nullptr;
};

// The flag that cancels a transfer with AOptions, for the system's implementation of HttpDownload.
const std::atomic<bool>& HttpCancelFlag(const THttpOptions& AOptions);

enum class THttpOutcome {
    Downloaded, // a 200 answer arrived whole
    Failed,     // no connection, or the transfer broke off
    NotOk,      // the server answered with another status than 200
    TooLarge,   // the body is larger than fMaxBodyBytes
    TooSlow,    // stalled, too slow on average, or past the deadline
    Cancelled,  // the cancellation flag was set
};

// Fills ABody with the body of a Downloaded answer; for every other outcome ABody is empty.
THttpOutcome HttpDownload(const std::string& AUrl, std::vector<std::uint8_t>& ABody,
                          const THttpOptions& AOptions = {});

// True only when HttpDownload gives Downloaded.
inline bool HttpGet(const std::string& AUrl, std::vector<std::uint8_t>& ABody,
                    const THttpOptions& AOptions = {}) {
    return HttpDownload(AUrl, ABody, AOptions) == THttpOutcome::Downloaded;
}
