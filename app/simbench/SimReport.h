#pragma once
// The report of a simulated bench's devices at the end of a run, as JSON.
#include <memory>
#include <string>
#include <vector>

class TSimBusDevice;
class TSimPhysicalDevice;

// The physical devices behind simulated devices (those that have one), to follow them through
// their personalities; keeping them keeps the devices' state for a report at the end.
std::vector<std::shared_ptr<TSimPhysicalDevice>>
SimPhysicalDevicesOf(const std::vector<std::shared_ptr<TSimBusDevice>>& ADevices);

// The final state of each device as JSON: {"devices": [{"kind", "family", "product_id",
// "hardware_version", "firmware_version", "bootloader_version", "serial_number", "flash_valid",
// "calibration"}, ...]}. kind is "bootloader" for a device left in its bootloader, else its family's
// kind; calibration is the hex of the bytes the firmware keeps in flash (optical sensor: the
// calibration block; camera sensor: the flash parameters, then the accelerometer record; others:
// none). firmware_version 65535: a bootloader whose flash holds no valid image. A target controller
// adds "target": {"mode" (none, normal or bootloader), "product_id", "hardware_version",
// "firmware_version", "serial_number", "flash_valid"}. A wireless controller adds "radio": {"power",
// "power_off_requests", "targets": [{"index", "mode" (normal, bootloader or silent), "product_id",
// "hardware_version", "firmware_version", "serial_number", "flash_valid"}, ...], "sensors": [{"model",
// "serial", "index" (of the target it aims at), "data_packets", "status_packets", "echoes",
// "commands_applied", "commands_abandoned", "scale_word", "voltage_step", "fused"}, ...]}.
std::string SimReportJson(const std::vector<std::shared_ptr<TSimPhysicalDevice>>& AUnits);
// Writes SimReportJson to AFileName; false when the file cannot be written.
bool WriteSimReport(const std::string& AFileName,
                    const std::vector<std::shared_ptr<TSimPhysicalDevice>>& AUnits);
