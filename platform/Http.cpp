#include "platform/Http.h"

namespace {

std::atomic<bool> ProcessCancel{false};

} // namespace

void CancelHttpTransfers() {
    ProcessCancel = true;
}

bool HttpTransfersCancelled() {
    return ProcessCancel.load();
}

const std::atomic<bool>& HttpCancelFlag(const THttpOptions& AOptions) {
    return AOptions.fCancel ? *AOptions.fCancel : ProcessCancel;
}
