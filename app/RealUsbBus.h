#pragma once
// The system's own USB bus, for the front ends when no simulated bench is asked for: the family's
// devices through libusb where this build has it.
#include "platform/EventLoop.h"
#include "platform/UsbBus.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct TListedDevice;

// Vendor id the devices are looked for under, when neither the command line nor the settings name one.
constexpr uint16_t DefaultUsbVendorId = 0x1209;

// The vendor id to use: ACommandLine when given, else the key "VendorId" in section [Usb] of
// ASettingsFile (decimal unless it starts with 0x), else DefaultUsbVendorId. A value that is no vendor
// id gives the default, with ANote saying so. Throws EIniFileError when the file cannot be read.
uint16_t UsbVendorIdSetting(std::optional<uint16_t> ACommandLine, const std::string& ASettingsFile,
                            std::string& ANote);
// settings.ini in the user's folder of the updater.
std::string UsbSettingsFile();
// "VendorId" parsed as --usb-vendor-id and the settings key take it: 1-65535, decimal or 0x hexadecimal.
std::optional<uint16_t> ParseUsbVendorId(const std::string& AText);

// The real bus, or nullptr with AError set when this build or system has none. ALog receives one
// line per problem a device gives (on the main thread).
std::unique_ptr<TUsbBus> CreateRealUsbBus(TEventLoop& ALoop, uint16_t AVendorId,
                                          std::function<void(const std::string&)> ALog, std::string& AError);
// A front end's real bus: the vendor id from AVendorId or the settings, a settings value that is no
// vendor id and each device problem on stderr after AProgram's name; nullptr, said on stderr, where
// there is none. nullptr with ASettingsError set, and nothing said, when the settings file cannot be
// read: the front end reports it as it reports the user-folder error.
std::unique_ptr<TUsbBus> FrontEndUsbBus(TEventLoop& ALoop, std::optional<uint16_t> AVendorId,
                                        const std::string& AProgram, std::string& ASettingsError);
// Main thread, with the bus installed: the family devices on ABus (a bus CreateRealUsbBus made),
// each opened once to read its serial number.
std::vector<TListedDevice> ListRealUsbDevices(TUsbBus& ABus);
