#include "app/ParameterStore.h"

#include "MyLib/KelvoUsbSensor.h"
#include "MyLib/KelvoUsbQV.h"
#include "platform/HexText.h"
#include "platform/IniFile.h"

#include <cstring>

namespace {

constexpr const char* DeviceSection = "Device";
constexpr const char* DoNotStoreKey = "DoNotStoreParameters";
constexpr const char* CalibrationKey = "Calibration";
constexpr const char* AccCalibrationKey = "AccCalibration";
constexpr const char* RegionsKey = "Regions";
constexpr const char* LockedKey = "Locked";

} // namespace

TParameterStore::TParameterStore(std::string ASettingsFile, TLog ALog)
    : fSettingsFile(std::move(ASettingsFile)), fLog(std::move(ALog)) {}

bool TParameterStore::SaveParameters(TCommonKelvoUsbDevice* ADevice) {
    try {
        TIniFile(fSettingsFile)
            .WriteBool(DeviceSection, DoNotStoreKey, !ADevice->NeedToRecoverOptionsAfterUpdate());
    } catch (...) {
        return false;
    }
    if (auto* camera = dynamic_cast<TKelvoUsbQVSensor*>(ADevice))
        return SaveQVSensorParameters(camera);
    if (auto* sensor = dynamic_cast<TKelvoSensorUsbDevice*>(ADevice))
        return SaveSensorParameters(sensor);
    return true;
}

bool TParameterStore::SaveSensorParameters(TKelvoSensorUsbDevice* ASensor) {
    if (!ASensor->GetCalibrationInfo()) {
        fLog("Error: cannot read sensor calibration info!");
        return false;
    }
    try {
        TIniFile(fSettingsFile)
            .WriteString(DeviceSection, CalibrationKey,
                         BytesToHex(&ASensor->fCalibrationRawData, sizeof ASensor->fCalibrationRawData));
    } catch (...) {
        fLog("Error: cannot store calibration parameters!");
        return false;
    }
    return true;
}

bool TParameterStore::SaveQVSensorParameters(TKelvoUsbQVSensor* ASensor) {
    TQV01FlashParams params{};
    if (!ASensor->ReadFlashParams(params)) {
        fLog("Error: cannot read sensor calibration info!");
        return false;
    }
    try {
        TIniFile ini(fSettingsFile);
        ini.WriteString(DeviceSection, CalibrationKey, BytesToHex(&params, sizeof params));
        TQVAccCalibration acc{};
        if (ASensor->ReadAccCalibrationData(acc))
            ini.WriteString(DeviceSection, AccCalibrationKey, BytesToHex(&acc, sizeof acc));
        ini.WriteInteger(DeviceSection, RegionsKey, ASensor->fRegions);
        ini.WriteBool(DeviceSection, LockedKey, ASensor->fLocked);
    } catch (...) {
        fLog("Error: cannot store calibration parameters!");
        return false;
    }
    return true;
}

bool TParameterStore::RestoreParameters(TCommonKelvoUsbDevice* ADevice) {
    bool doNotStore = false;
    try {
        doNotStore = TIniFile(fSettingsFile).ReadBool(DeviceSection, DoNotStoreKey, false);
    } catch (...) {
        return false;
    }
    if (doNotStore)
        return true;
    fLog("Restoring device parameters...");
    if (auto* camera = dynamic_cast<TKelvoUsbQVSensor*>(ADevice))
        return RestoreQVSensorParameters(camera);
    if (auto* sensor = dynamic_cast<TKelvoSensorUsbDevice*>(ADevice))
        return RestoreSensorParameters(sensor);
    return true;
}

bool TParameterStore::ReadStoredCalibration(void* ABlock, std::size_t ASize) {
    std::optional<std::vector<uint8_t>> stored;
    try {
        stored = HexToBytes(TIniFile(fSettingsFile).ReadString(DeviceSection, CalibrationKey, ""));
    } catch (...) {
        stored.reset();
    }
    if (!stored || stored->size() != ASize) {
        fLog("Cannot read stored calibration info!");
        return false;
    }
    std::memcpy(ABlock, stored->data(), ASize);
    return true;
}

bool TParameterStore::RestoreSensorParameters(TKelvoSensorUsbDevice* ASensor) {
    TCalibrationInfoBlock block{};
    if (!ReadStoredCalibration(&block, sizeof block))
        return false;
    if (!ASensor->SetCalibrationInfo(block)) {
        fLog("Error: cannot set calibration info! Try to replug sensor.");
        return false;
    }
    if (!ASensor->ApplyCalibrationInfo()) {
        fLog("Error: cannot flash calibration info! Try to replug sensor.");
        return false;
    }
    return true;
}

bool TParameterStore::RestoreQVSensorParameters(TKelvoUsbQVSensor* ASensor) {
    // Only a sensor whose firmware keeps its parameters in the flash the update erases gets here
    // (the others are marked "DoNotStoreParameters"); without a write-back it would come out of
    // every update with its lens and sensor parameters gone.
    TQV01FlashParams params{};
    if (!ReadStoredCalibration(&params, sizeof params))
        return false;
    if (!ASensor->WriteFlashParams(params)) {
        fLog("Error: cannot set calibration info! Try to replug sensor.");
        return false;
    }
    return true;
}
