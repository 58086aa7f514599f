#pragma once
// What `kelvo-fwupd-cli --check` does: every family device on the bus is opened and identified, the
// targets behind the controllers with it, and each is compared with the image the updater would
// choose for it. Only identification requests are sent: nothing switches a device or target into
// its bootloader, and nothing is written to a device or its journal.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TForm1;

// Exit status of a check that found at least one update to make (0: none; 1: a device could not be
// opened).
inline constexpr int KExitUpdatesAvailable = 3;

enum class TCheckStatus { Current, UpdateAvailable, NoFirmware, CannotOpen };

struct TCheckedDevice {
    std::string fPath;
    // The model description; "bootloader" for a USB device found in its bootloader.
    std::string fKind;
    std::string fSerial;
    // The serial number of the controller a target is behind; "" for a USB device.
    std::string fController;
    uint16_t fProductId = 0;
    uint16_t fVersionHW = 0;
    // None for a bootloader whose flash holds no firmware, or one that does not say.
    std::optional<uint16_t> fVersionFW;
    bool fInBootloader = false;
    TCheckStatus fStatus = TCheckStatus::NoFirmware;
    // The image the updater would write, with its origin ("built-in" or "downloaded").
    std::optional<uint16_t> fImageFW;
    std::string fSource;
    // The device's journal holds an update that has not finished (the updater takes it up).
    bool fUnfinished = false;
};
using PCheckedDevice = TCheckedDevice*;

// Main thread, with the bus installed and AForm's collection loaded (TForm1::OpenUserFolder and
// LoadBuiltInFirmware): the devices present now, in the window's registration order, each controller
// followed by its targets. AForm chooses the images (SelectFirmware, which may download) and reads
// the journals.
std::vector<TCheckedDevice> CheckDevices(TForm1& AForm);

// One line per device or target ("no devices found" for none): kind, serial number, product id,
// hardware version, and the firmware it runs with the one it would get, "current" or "no firmware for
// this device".
std::string CheckText(const std::vector<TCheckedDevice>& ADevices);
// One JSON object per line: {"event":"check","kind","serial","controller" ("" for a USB device),
// "path","productId","hardwareVersion","firmwareVersion" (null when none),"bootloader","status"
// ("current","update","no-firmware","cannot-open"),"imageVersion" (null when none),"source","unfinished"}.
std::string CheckJson(const std::vector<TCheckedDevice>& ADevices);
// 1 when a device could not be opened, else KExitUpdatesAvailable when an update is to be made, else 0.
int CheckExitStatus(const std::vector<TCheckedDevice>& ADevices);
