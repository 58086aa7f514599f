#include "app/ParameterStore.h"

#include "platform/HexText.h"
#include "platform/IniFile.h"

#include <cstring>

namespace {

constexpr const char* DeviceSection = "Device";
constexpr const char* DoNotStoreKey = "DoNotStoreParameters";
constexpr const char* KeepSavedKey = "KeepSavedParameters";

// One write into the settings file; false when the file did not take it.
template <class TWrite> bool TryWrite(const std::string& AFile, TWrite AWrite) {
    try {
        TIniFile ini(AFile);
        AWrite(ini);
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

TParameterStore::TParameterStore(std::string ASettingsFile, TLog ALog)
    : fSettingsFile(std::move(ASettingsFile)), fLog(std::move(ALog)) {}

bool TParameterStore::SaveParameters(TCommonKelvoUsbDevice* ADevice) {
    // After an update that did not finish the device may hold anything; what was saved before it is
    // what goes back.
    if (ReadKeepSaved())
        return true;
    // The options are saved whatever the device answers here; the answer only steers the restore.
    if (!WriteBool(DoNotStoreKey, !ADevice->NeedToRecoverOptionsAfterUpdate()))
        return false;
    return Report(ADevice->SaveOptions(*this));
}

bool TParameterStore::RestoreParameters(TCommonKelvoUsbDevice* ADevice) {
    bool doNotStore = false;
    try {
        doNotStore = TIniFile(fSettingsFile).ReadBool(DeviceSection, DoNotStoreKey, false);
    } catch (...) {
        return false;
    }
    if (!doNotStore) {
        fLog("Restoring device parameters...");
        if (!Report(ADevice->RecoverOptions(*this)))
            return false;
    }
    // Written only when set, so the files of ordinary updates keep their keys.
    if (ReadKeepSaved())
        WriteBool(KeepSavedKey, false);
    return true;
}

bool TParameterStore::KeepSavedParameters() {
    return WriteBool(KeepSavedKey, true);
}

bool TParameterStore::ReadKeepSaved() {
    try {
        return TIniFile(fSettingsFile).ReadBool(DeviceSection, KeepSavedKey, false);
    } catch (...) {
        return false;
    }
}

bool TParameterStore::Report(TOptionsResult AResult) {
    switch (AResult) {
    case TOptionsResult::Done:
        return true;
    case TOptionsResult::NotReadFromDevice:
        fLog("Error: cannot read sensor calibration info!");
        break;
    case TOptionsResult::NotStored:
        fLog("Error: cannot store calibration parameters!");
        break;
    case TOptionsResult::StoredNotRead:
        fLog("Cannot read stored calibration info!");
        break;
    case TOptionsResult::NotSetInDevice:
        fLog("Error: cannot set calibration info! Try to replug sensor.");
        break;
    case TOptionsResult::NotFlashed:
        fLog("Error: cannot flash calibration info! Try to replug sensor.");
        break;
    }
    return false;
}

bool TParameterStore::WriteBlock(const std::string& AKey, const void* ABlock, std::size_t ASize) {
    return TryWrite(fSettingsFile, [&](TIniFile& AIni) {
        AIni.WriteString(DeviceSection, AKey, BytesToHex(ABlock, ASize));
    });
}

bool TParameterStore::WriteInteger(const std::string& AKey, int AValue) {
    return TryWrite(fSettingsFile, [&](TIniFile& AIni) { AIni.WriteInteger(DeviceSection, AKey, AValue); });
}

bool TParameterStore::WriteBool(const std::string& AKey, bool AValue) {
    return TryWrite(fSettingsFile, [&](TIniFile& AIni) { AIni.WriteBool(DeviceSection, AKey, AValue); });
}

bool TParameterStore::ReadBlock(const std::string& AKey, void* ABlock, std::size_t ASize) {
    // A missing, unreadable or wrong-sized value counts as not read.
    std::optional<std::vector<uint8_t>> stored;
    try {
        stored = HexToBytes(TIniFile(fSettingsFile).ReadString(DeviceSection, AKey, ""));
    } catch (...) {
        return false;
    }
    if (!stored || stored->size() != ASize)
        return false;
    std::memcpy(ABlock, stored->data(), ASize);
    return true;
}
