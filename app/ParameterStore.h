#pragma once
// What a device keeps that a firmware update may wipe: saved into the device's settings file before
// the switch into the bootloader, and written back when the device returns from a finished flash.
// The device says what it keeps (its SaveOptions and RecoverOptions); this store holds the file:
// every key is in section "Device" of the settings file, next to the update journal, and byte
// blocks are stored as upper-case hexadecimal, two digits per byte in memory order.
#include "MyLib/CommonKelvoUsbDevice.h"

#include <cstddef>
#include <functional>
#include <string>

class TParameterStore : public TDeviceOptionsFile {
public:
    using TLog = std::function<void(const std::string&)>;
    // ASettingsFile is the device's settings file; ALog writes one line of the window's log.
    TParameterStore(std::string ASettingsFile, TLog ALog);

    // "DoNotStoreParameters" from the device's answer, then the device's own options; nothing while
    // the file keeps the parameters of an update that did not finish.
    bool SaveParameters(TCommonKelvoUsbDevice* ADevice);
    // The device's options back, unless they were saved as needing no recovery. A success ends any
    // keeping of the saved parameters.
    bool RestoreParameters(TCommonKelvoUsbDevice* ADevice);
    // Marks the saved parameters as those of an update that did not finish: the next update keeps
    // them instead of saving what the device holds then, and puts them back after its flash.
    bool KeepSavedParameters();

private:
    bool WriteBlock(const std::string& AKey, const void* ABlock, std::size_t ASize) override;
    bool WriteInteger(const std::string& AKey, int AValue) override;
    bool WriteBool(const std::string& AKey, bool AValue) override;
    bool ReadBlock(const std::string& AKey, void* ABlock, std::size_t ASize) override;

    // Whether the file keeps the parameters of an update that did not finish.
    bool ReadKeepSaved();
    // Logs the line for a failed save or restore; true when AResult is a success.
    bool Report(TOptionsResult AResult);

    std::string fSettingsFile;
    TLog fLog;
};
