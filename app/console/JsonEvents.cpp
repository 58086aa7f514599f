#include "app/console/JsonEvents.h"

#include "platform/JsonText.h"

#include <cerrno>
#include <cstring>

namespace {

const char* StageName(TUpdateStage AStage) {
    switch (AStage) {
    case TUpdateStage::EnterBootloader:
        return "enter-bootloader";
    case TUpdateStage::Erase:
        return "erase";
    case TUpdateStage::Write:
        return "write";
    case TUpdateStage::Validate:
        return "validate";
    case TUpdateStage::LeaveBootloader:
        return "leave-bootloader";
    case TUpdateStage::ParametersRestored:
        return "parameters-restored";
    }
    return "unknown";
}

const char* OutcomeName(TUpdateOutcome AOutcome) {
    switch (AOutcome) {
    case TUpdateOutcome::Updated:
        return "updated";
    case TUpdateOutcome::Failed:
        return "failed";
    case TUpdateOutcome::Unfinished:
        return "unfinished";
    case TUpdateOutcome::Current:
        return "current";
    }
    return "unknown";
}

const char* ReasonName(TFailReason AReason) {
    switch (AReason) {
    case TFailReason::None:
        return nullptr;
    case TFailReason::Open:
        return "open";
    case TFailReason::Unlock:
        return "unlock";
    case TFailReason::SaveParameters:
        return "save-parameters";
    case TFailReason::Switch:
        return "switch";
    case TFailReason::BootloaderInfo:
        return "bootloader-info";
    case TFailReason::NoImage:
        return "no-image";
    case TFailReason::InvalidImage:
        return "invalid-image";
    case TFailReason::Erase:
        return "erase";
    case TFailReason::Synchro:
        return "synchro";
    case TFailReason::Write:
        return "write";
    case TFailReason::Validate:
        return "validate";
    case TFailReason::Gone:
        return "gone";
    case TFailReason::Interrupted:
        return "interrupted";
    case TFailReason::RestoreParameters:
        return "restore-parameters";
    }
    return nullptr;
}

// A journal step as a name; a value outside the named steps as its number.
std::string StepName(TUpdateStep AStep) {
    switch (AStep) {
    case TUpdateStep::Idle:
        return "\"idle\"";
    case TUpdateStep::SwitchRequested:
        return "\"switch-requested\"";
    case TUpdateStep::StubArrived:
        return "\"bootloader-arrived\"";
    case TUpdateStep::FlashErased:
        return "\"flash-erased\"";
    case TUpdateStep::FlashWritten:
        return "\"flash-written\"";
    case TUpdateStep::FlashValidated:
        return "\"flash-validated\"";
    case TUpdateStep::RestoreFailed:
        return "\"restore-failed\"";
    }
    return std::to_string(int(AStep));
}

std::string Text(const char* AName, const std::string& AText) {
    return std::string(",\"") + AName + "\":" + (AText.empty() ? "null" : JsonString(AText));
}

std::string Number(const char* AName, long long AValue) {
    return std::string(",\"") + AName + "\":" + std::to_string(AValue);
}

std::string Flag(const char* AName, std::optional<bool> AValue) {
    return std::string(",\"") + AName + "\":" + (!AValue ? "null" : *AValue ? "true" : "false");
}

std::string Version(const char* AName, std::optional<uint16_t> AValue) {
    return AValue ? Number(AName, *AValue) : std::string(",\"") + AName + "\":null";
}

// The opening of an event's object with the serial number and, for a target, its index.
std::string About(const char* AEvent, const TUpdateSubject& ASubject) {
    std::string object = std::string("{\"event\":\"") + AEvent + "\"" + Text("serial", ASubject.fSerial);
    if (ASubject.fTarget)
        object += Number("target", *ASubject.fTarget);
    return object;
}

} // namespace

void TJsonEvents::Write(const std::string& AObject) {
    if (!fOutputError.empty())
        return;
    errno = 0;
    std::fprintf(fOut, "%s\n", AObject.c_str());
    if (std::fflush(fOut) != 0 || std::ferror(fOut))
        fOutputError = errno != 0 ? std::strerror(errno) : "write error";
}

void TJsonEvents::Logged(const std::string& AText) {
    Write("{\"event\":\"log\",\"text\":" + JsonString(AText) + "}");
}

void TJsonEvents::DeviceFound(const TFoundDevice& ADevice) {
    Write("{\"event\":\"device\"" + Text("path", ADevice.fPath) + Text("kind", ADevice.fKind) +
          Text("serial", ADevice.fSerial) + Number("productId", ADevice.fProductId) +
          Number("hardwareVersion", ADevice.fVersionHW) + Version("firmwareVersion", ADevice.fVersionFW) +
          Flag("locked", ADevice.fLocked) + Flag("bootloader", ADevice.fKind == "bootloader") + "}");
}

void TJsonEvents::TargetFound(const TFoundTarget& ATarget) {
    Write("{\"event\":\"target\"" + Text("controller", ATarget.fController) +
          Number("index", ATarget.fIndex) + Text("serial", ATarget.fSerial) +
          Number("productId", ATarget.fProductId) + Number("hardwareVersion", ATarget.fVersionHW) +
          Version("firmwareVersion", ATarget.fVersionFW) + Flag("bootloader", ATarget.fInBootloader) + "}");
}

void TJsonEvents::Offered(const TUpdateSubject& ASubject, uint16_t AVersion, bool ADownloaded) {
    Write(About("offer", ASubject) + Number("version", AVersion) +
          Text("source", ADownloaded ? "downloaded" : "built-in") + "}");
}

void TJsonEvents::StageBegun(const TUpdateSubject& ASubject, TUpdateStage AStage) {
    Write(About("stage", ASubject) + Text("stage", StageName(AStage)) + "}");
}

void TJsonEvents::Progressed(const TUpdateSubject& ASubject, uint32_t ADone, uint32_t ATotal) {
    if (ATotal == 0)
        return;
    // Another flash, or the same device's flash begun again, shows its progress from the start.
    if (ASubject.fSerial != fProgressOf.fSerial || ASubject.fTarget != fProgressOf.fTarget ||
        ADone <= fProgressDone) {
        fProgressOf = ASubject;
        fProgressPercent = -1;
    }
    fProgressDone = ADone;
    const int percent = int(uint64_t(ADone) * 100 / ATotal);
    if (percent == fProgressPercent)
        return;
    fProgressPercent = percent;
    Write(About("progress", ASubject) + Number("done", ADone) + Number("total", ATotal) + "}");
}

void TJsonEvents::Ended(const TUpdateSubject& ASubject, TUpdateOutcome AOutcome, TFailReason AReason,
                        std::optional<TUpdateStep> AStep) {
    std::string object = About("end", ASubject) + Text("outcome", OutcomeName(AOutcome));
    if (AOutcome == TUpdateOutcome::Failed || AOutcome == TUpdateOutcome::Unfinished) {
        const char* reason = ReasonName(AReason);
        object += Text("reason", reason ? reason : "");
    }
    if (AStep)
        object += ",\"step\":" + StepName(*AStep);
    Write(object + "}");
}

void TJsonEvents::Summarised(int AUpdated, int AFailed, int AUnfinished) {
    Write("{\"event\":\"summary\"" + Number("updated", AUpdated) + Number("failed", AFailed) +
          Number("unfinished", AUnfinished) + "}");
}
