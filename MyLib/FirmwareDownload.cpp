// Fetching a firmware image from the download server.
#include "MyLib/KelvoFirmware.h"

#include "platform/Http.h"
#include "platform/Resources.h"

#include <cstdio>

namespace {

THttpOptions& DownloadHttpOptions() {
    static THttpOptions options;
    return options;
}

} // namespace

std::string TKelvoUsbFirmware::DownloadFileName(uint16_t AProductId, uint16_t AVersionHW) {
    char name[40];
    std::snprintf(name, sizeof name, "pid%04xhw%04x.kelvousbfw", unsigned(AProductId), unsigned(AVersionHW));
    return name;
}

void TKelvoUsbFirmware::SetDownloadOptions(const THttpOptions& AOptions) {
    DownloadHttpOptions() = AOptions;
}

bool TKelvoUsbFirmware::DownloadFromInternet(const std::string& AServerUrl, uint16_t AProductId,
                                             uint16_t AVersionHW) {
    std::vector<uint8_t> body;
    if (!HttpGet(AServerUrl + DownloadFileName(AProductId, AVersionHW), body, DownloadHttpOptions()))
        return false;
    // The HTTP status is not looked at: an error page fails the header check like any other
    // file that is not an image.
    try {
        TMemoryReadStream stream(body.data(), body.size());
        LoadFromStream(stream);
    } catch (...) {
        return false;
    }
    return Valid();
}
