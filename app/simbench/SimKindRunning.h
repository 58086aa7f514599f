#pragma once
// What the kinds of running family devices share: the identity they take from the device text, and
// their check and creation from one state builder and one family binding.
#include "app/simbench/SimBench.h"

#include <memory>
#include <set>
#include <string>
#include <utility>

// The versions (AHw and AFw when the text sets none), the serial number and key when given, and the
// lock (open unless the text says locked=1).
template <class TState>
void ApplySimIdentity(TState& AState, const TSimDeviceOptions& AOptions, uint16_t AHw, uint16_t AFw) {
    AState.VersionHW = AOptions.fHw.value_or(AHw);
    AState.VersionFW = AOptions.fFw.value_or(AFw);
    if (AOptions.fSerial)
        AState.Serial = *AOptions.fSerial;
    if (AOptions.fKey)
        AState.Key = *AOptions.fKey;
    AState.Locked = AOptions.fLocked.value_or(false);
}

// The kind ANAME whose device text is checked by AStateFor and whose devices run ABinding over the
// state AStateFor builds, bound to the driver the text names or else ADefaultDriver.
template <class TState>
TSimKind RunningSimKind(std::string AName, std::string ADescription, std::set<std::string> AExtraNames,
                        std::shared_ptr<TState> (*AStateFor)(const TSimDeviceOptions& AOptions,
                                                             std::string& AError),
                        TSimFamilyBinding (*ABinding)(std::shared_ptr<TState> AState),
                        TUsbDriverKind ADefaultDriver = TUsbDriverKind::Family) {
    TSimKind kind;
    kind.fName = std::move(AName);
    kind.fDescription = std::move(ADescription);
    kind.fExtraNames = std::move(AExtraNames);
    kind.fCheckExtra = [AStateFor](const TSimDeviceOptions& AOptions, std::string& AError) {
        return AStateFor(AOptions, AError) != nullptr;
    };
    kind.fCreate = [AStateFor, ABinding,
                    ADefaultDriver](const TSimDeviceOptions& AOptions,
                                    uint32_t ALatencyMs) -> std::shared_ptr<TSimBusDevice> {
        std::string error;
        auto state = AStateFor(AOptions, error);
        if (!state)
            return nullptr; // the DEVICE text was checked when it was parsed
        return CreateRunningSimDevice(ABinding(state), AOptions, ALatencyMs, ADefaultDriver);
    };
    return kind;
}
