#include "app/simbench/SimReport.h"

#include "platform/HexText.h"
#include "sim/SimBus.h"
#include "sim/SimPhysicalDevice.h"

#include <fstream>

std::vector<std::shared_ptr<TSimPhysicalDevice>>
SimPhysicalDevicesOf(const std::vector<std::shared_ptr<TSimBusDevice>>& ADevices) {
    std::vector<std::shared_ptr<TSimPhysicalDevice>> units;
    for (const auto& device : ADevices)
        if (auto sim = std::dynamic_pointer_cast<TSimDevice>(device); sim && sim->Unit())
            units.push_back(sim->Unit());
    return units;
}

namespace {

std::string DashedText(const std::array<uint8_t, 8>& ABytes) {
    std::string text;
    for (std::size_t b = 0; b < ABytes.size(); ++b) {
        if (b)
            text += '-';
        text += std::to_string(ABytes[b]);
    }
    return text;
}

std::string TargetJson(const TSimTargetReport& ATarget) {
    const char* mode = !ATarget.Present ? "none" : ATarget.InBootloader ? "bootloader" : "normal";
    return std::string(", \"target\": {\"mode\": \"") + mode +
           "\", \"product_id\": " + std::to_string(ATarget.ProductId) +
           ", \"hardware_version\": " + std::to_string(ATarget.VersionHW) +
           ", \"firmware_version\": " + std::to_string(ATarget.VersionFW) + ", \"serial_number\": \"" +
           DashedText(ATarget.Serial) + "\", \"flash_valid\": " + (ATarget.FlashValid ? "true" : "false") +
           "}";
}

std::string RadioJson(const TSimRadioReport& ARadio) {
    std::string json = std::string(", \"radio\": {\"power\": ") + (ARadio.PowerOn ? "true" : "false") +
                       ", \"power_off_requests\": " + std::to_string(ARadio.PowerOffRequests) +
                       ", \"targets\": [";
    for (std::size_t i = 0; i < ARadio.Targets.size(); ++i) {
        const TSimRadioTargetReport& t = ARadio.Targets[i];
        const char* mode = !t.InReach ? "silent" : t.InBootloader ? "bootloader" : "normal";
        json += std::string(i ? ", " : "") + "{\"index\": " + std::to_string(t.Index) + ", \"mode\": \"" +
                mode + "\", \"product_id\": " + std::to_string(t.ProductId) +
                ", \"hardware_version\": " + std::to_string(t.VersionHW) +
                ", \"firmware_version\": " + std::to_string(t.VersionFW) + ", \"serial_number\": \"" +
                DashedText(t.Serial) + "\", \"flash_valid\": " + (t.FlashValid ? "true" : "false") + "}";
    }
    json += "], \"sensors\": [";
    for (std::size_t i = 0; i < ARadio.Sensors.size(); ++i) {
        const TSimRadioSensorReport& s = ARadio.Sensors[i];
        json += std::string(i ? ", " : "") + "{\"model\": \"" + s.Model +
                "\", \"serial\": " + std::to_string(s.Serial) +
                ", \"index\": " + std::to_string(s.TargetIndex) +
                ", \"data_packets\": " + std::to_string(s.DataPackets) +
                ", \"status_packets\": " + std::to_string(s.StatusPackets) +
                ", \"echoes\": " + std::to_string(s.Echoes) +
                ", \"commands_applied\": " + std::to_string(s.CommandsApplied) +
                ", \"commands_abandoned\": " + std::to_string(s.CommandsAbandoned) +
                ", \"scale_word\": " + std::to_string(s.ScaleWord) +
                ", \"voltage_step\": " + std::to_string(s.VoltageStep) +
                ", \"fused\": " + (s.Fused ? "true" : "false") + "}";
    }
    return json + "]}";
}

} // namespace

std::string SimReportJson(const std::vector<std::shared_ptr<TSimPhysicalDevice>>& AUnits) {
    std::string json = "{\n  \"devices\": [";
    for (std::size_t i = 0; i < AUnits.size(); ++i) {
        const TSimUnitReport r = AUnits[i]->Report();
        const std::string serial = DashedText(r.Serial);
        const std::string calibration = BytesToHex(r.Calibration.data(), r.Calibration.size());
        // Kind names and the values above hold no characters that JSON would have to escape.
        json += std::string(i ? "," : "") + "\n    {\"kind\": \"" + (r.InBootloader ? "bootloader" : r.Kind) +
                "\", \"family\": \"" + r.Kind + "\", \"product_id\": " + std::to_string(r.ProductId) +
                ", \"hardware_version\": " + std::to_string(r.VersionHW) +
                ", \"firmware_version\": " + std::to_string(r.VersionFW) +
                ", \"bootloader_version\": " + std::to_string(r.StubVersion) + ", \"serial_number\": \"" +
                serial + "\", \"flash_valid\": " + (r.FlashValid ? "true" : "false") +
                ", \"calibration\": \"" + calibration + "\"" + (r.Target ? TargetJson(*r.Target) : "") +
                (r.Radio ? RadioJson(*r.Radio) : "") + "}";
    }
    json += std::string(AUnits.empty() ? "" : "\n  ") + "]\n}\n";
    return json;
}

bool WriteSimReport(const std::string& AFileName,
                    const std::vector<std::shared_ptr<TSimPhysicalDevice>>& AUnits) {
    std::ofstream out(AFileName, std::ios::binary | std::ios::trunc);
    out << SimReportJson(AUnits);
    out.close();
    return bool(out);
}
