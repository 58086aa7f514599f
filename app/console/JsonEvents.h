#pragma once
// kelvo-fwupd-cli --json: the run as JSON Lines on stdout, one object per event, each written and
// flushed as it happens. Every object has "event": log, device, target, offer, stage, progress,
// end or summary; docs/kelvo-fwupd-cli-events.schema.json describes them all.
#include "app/UpdateObserver.h"

#include <cstdio>
#include <string>

class TJsonEvents final : public TUpdateObserver {
public:
    explicit TJsonEvents(std::FILE* AOut) : fOut(AOut) {}

    void Logged(const std::string& AText) override;
    void DeviceFound(const TFoundDevice& ADevice) override;
    void TargetFound(const TFoundTarget& ATarget) override;
    void Offered(const TUpdateSubject& ASubject, uint16_t AVersion, bool ADownloaded) override;
    void StageBegun(const TUpdateSubject& ASubject, TUpdateStage AStage) override;
    // Written when the whole percent done changes, so a flash gives at most 101 objects.
    void Progressed(const TUpdateSubject& ASubject, uint32_t ADone, uint32_t ATotal) override;
    void Ended(const TUpdateSubject& ASubject, TUpdateOutcome AOutcome, TFailReason AReason,
               std::optional<TUpdateStep> AStep) override;
    // The last object: the updates of the run as the summary line counts them.
    void Summarised(int AUpdated, int AFailed, int AUnfinished);

    // The cause of the first failed write (a closed pipe, a full disk); empty while every object
    // got out. After a failure nothing more is written.
    const std::string& OutputError() const { return fOutputError; }

private:
    void Write(const std::string& AObject);

    std::FILE* fOut;
    std::string fOutputError;
    // The subject of the flash whose progress is shown, and the percent last written for it.
    TUpdateSubject fProgressOf;
    uint32_t fProgressDone = 0;
    int fProgressPercent = -1;
};
