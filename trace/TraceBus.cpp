#include "trace/TraceBus.h"

#include "app/RealUsbBus.h"
#include "app/simbench/SimBench.h"
#include "sim/SimBus.h"
#include "trace/TraceCommands.h"

#include <chrono>
#include <stdexcept>

namespace {
// How often the bus is looked at again while a command waits for a device.
constexpr uint32_t KFindPollMs = 100;
} // namespace

TTraceBus::TTraceBus(const std::string& ACommand, const TParsedArgs& AArgs) {
    std::optional<uint16_t> vendorId;
    if (auto it = AArgs.fValues.find("--usb-vendor-id"); it != AArgs.fValues.end()) {
        vendorId = ParseUsbVendorId(it->second);
        if (!vendorId)
            throw TUsageError(ACommand + ": --usb-vendor-id " + it->second +
                              ": expected a vendor id 1-65535, decimal or 0x hexadecimal");
    }
    if (auto it = AArgs.fValues.find("--simulate"); it != AArgs.fValues.end()) {
        TSimDeviceOptions options;
        std::string error;
        if (!ParseSimDevice(it->second, TSimKinds::BuiltIn(), options, error))
            throw TUsageError(ACommand + ": --simulate " + it->second + ": " + error);
        auto bus = std::make_unique<TSimBus>(fLoop);
        fSimDevices = PlugSimDevices(*bus, {options}, TSimKinds::BuiltIn(), 0);
        fBus = std::move(bus);
    } else {
        std::string settingsError;
        fBus = FrontEndUsbBus(fLoop, vendorId, Program, settingsError);
        if (!settingsError.empty())
            throw std::runtime_error(ACommand + ": " + settingsError);
        if (!fBus)
            throw std::runtime_error(ACommand + ": no USB access");
    }
    fScope.emplace(fLoop, *fBus);
}

std::optional<TBusDevice> TTraceBus::FindFirst(const std::vector<TGUID>& AClasses) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(KFindDeviceMs);
    for (;;) {
        if (auto found = Present(AClasses))
            return found;
        if (std::chrono::steady_clock::now() >= end)
            return std::nullopt;
        // Arrivals are taken in on the loop.
        fLoop.RunUntil([] { return false; }, KFindPollMs);
    }
}

std::optional<TBusDevice> TTraceBus::Present(const std::vector<TGUID>& AClasses) {
    for (const TGUID& deviceClass : AClasses) {
        std::vector<TUsbInterfaceEntry> members;
        if (fBus->GetClassDevs(deviceClass, members) != 0)
            continue;
        for (const TUsbInterfaceEntry& member : members)
            if (member.DetailError == 0)
                return TBusDevice{deviceClass, member.Path};
    }
    return std::nullopt;
}
