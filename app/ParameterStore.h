#pragma once
// What a device keeps that a firmware update may wipe: saved into the device's settings file before
// the switch into the bootloader, and written back when the device returns from a finished flash.
// Every key is in section "Device" of the settings file, next to the update journal; byte blocks
// are stored as upper-case hexadecimal, two digits per byte in memory order.
#include <cstddef>
#include <functional>
#include <string>

class TCommonKelvoUsbDevice;
class TKelvoSensorUsbDevice;
class TKelvoUsbQVSensor;

class TParameterStore {
public:
    using TLog = std::function<void(const std::string&)>;
    // ASettingsFile is the device's settings file; ALog writes one line of the window's log.
    TParameterStore(std::string ASettingsFile, TLog ALog);

    bool SaveParameters(TCommonKelvoUsbDevice* ADevice);
    bool RestoreParameters(TCommonKelvoUsbDevice* ADevice);
    bool SaveSensorParameters(TKelvoSensorUsbDevice* ASensor);
    bool RestoreSensorParameters(TKelvoSensorUsbDevice* ASensor);
    bool SaveQVSensorParameters(TKelvoUsbQVSensor* ASensor);
    // Writes the saved flash parameters back; the other camera keys are a record only.
    bool RestoreQVSensorParameters(TKelvoUsbQVSensor* ASensor);

private:
    // The saved "Calibration" block into ABlock when it holds exactly ASize bytes; otherwise says
    // so in the log and fails (a missing, unreadable or wrong-sized value counts as not read).
    bool ReadStoredCalibration(void* ABlock, std::size_t ASize);

    std::string fSettingsFile;
    TLog fLog;
};
