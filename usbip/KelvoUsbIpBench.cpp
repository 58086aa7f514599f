// kelvo-usbip-bench: serves simulated devices (the --simulate grammar of the updaters) as USB/IP
// devices on 127.0.0.1, so that a Linux kernel sees them as real USB devices: through `usbip
// attach`, or through --attach-local, which attaches each offered device to this machine's
// vhci-hcd itself (as root). A device that re-enumerates is withdrawn and offered again as the new
// device. Log lines go to stdout. Runs until SIGINT or SIGTERM. Exit status: 0 ended by a signal,
// 1 the server could not start or its report could not be written, 2 usage.
#include "app/simbench/SimBench.h"
#include "app/simbench/SimReport.h"
#include "platform/CommandArgs.h"
#include "platform/NumberText.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "platform/Version.h"
#include "sim/SimBus.h"
#include "sim/SimDevice.h"
#include "usbip/UsbIpLocalAttach.h"
#include "usbip/UsbIpServer.h"

#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <mutex>

namespace {

constexpr const char* ProgramName = "kelvo-usbip-bench";
constexpr const char* VhciFolder = "/sys/devices/platform/vhci_hcd.0";

struct TBenchLine {
    std::vector<TSimDeviceOptions> fSimulate;
    uint16_t fPort = 3240;
    bool fAttachLocal = false;
    uint32_t fLatencyMs = 1;
    std::string fSimReport;
    bool fHelp = false;
    bool fVersion = false;
};

// The command line; a fault throws TUsageError.
TBenchLine ParseBenchLine(const TArgs& AArgs) {
    const TParsedArgs parsed =
        ParseArgs("", AArgs,
                  {.fValueOptions = {"--simulate", "--port", "--latency-ms", "--sim-report"},
                   .fFlags = {"--attach-local", "--help", "--version"},
                   .fRepeatable = {"--simulate"},
                   .fAliases = {{"-h", "--help"}}});
    TBenchLine line;
    for (const auto& [option, value] : parsed.fInOrder) {
        std::string error;
        TSimDeviceOptions device;
        if (option == "--simulate") {
            if (!ParseSimDevice(value, TSimKinds::BuiltIn(), device, error))
                throw TUsageError("--simulate " + value + ": " + error);
            line.fSimulate.push_back(std::move(device));
        } else if (option == "--port") {
            const auto port = ParseNumber(value, 65535);
            if (!port || *port == 0)
                throw TUsageError("--port " + value + ": expected a TCP port 1-65535");
            line.fPort = uint16_t(*port);
        } else if (option == "--latency-ms") {
            const auto latency = ParseNumber(value, 10000);
            if (!latency)
                throw TUsageError("--latency-ms " + value + ": expected milliseconds 0-10000");
            line.fLatencyMs = *latency;
        } else if (option == "--sim-report") {
            if (value.empty())
                throw TUsageError("--sim-report needs a file name");
            line.fSimReport = value;
        }
    }
    line.fAttachLocal = parsed.fFlags.count("--attach-local") > 0;
    line.fHelp = parsed.fFlags.count("--help") > 0;
    line.fVersion = parsed.fFlags.count("--version") > 0;
    if (line.fSimulate.empty() && !line.fHelp && !line.fVersion)
        throw TUsageError("no --simulate device to serve");
    return line;
}

std::string UsageText() {
    std::string text =
        std::string("usage: ") + ProgramName +
        " --simulate DEVICE [--simulate DEVICE]... [options]\n\n"
        "Serves simulated devices on 127.0.0.1 as USB/IP devices (protocol 1.1.1).\n\n"
        "options:\n"
        "  --simulate DEVICE   a simulated device to serve (repeatable), KIND[,NAME=VALUE]...\n"
        "                      as kelvo-fwupd-cli --help describes it\n"
        "  --port N            TCP port (default 3240, the USB/IP port)\n"
        "  --attach-local      attach each offered device to this machine's vhci-hcd (root;\n"
        "                      modprobe vhci-hcd first)\n"
        "  --latency-ms N      latency of each simulated control transfer (default 1)\n"
        "  --sim-report FILE   write the devices' final state to FILE as JSON when the server ends\n"
        "  --help              show this text\n"
        "  --version           show the version\n"
        "kinds:";
    for (const std::string& name : TSimKinds::BuiltIn().Names())
        text += " " + name;
    return text + "\n";
}

} // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    TBenchLine line;
    try {
        line = ParseBenchLine({argv + 1, argv + argc});
    } catch (const TUsageError& e) {
        std::cerr << ProgramName << ": " << e.what() << "\ntry '" << ProgramName << " --help'\n";
        return KExitUsage;
    }
    if (line.fHelp || line.fVersion) {
        std::cout << (line.fHelp ? UsageText() : std::string(ProgramName) + " " KELVO_VERSION "\n");
        return KExitSuccess;
    }
    if (line.fAttachLocal && access((std::string(VhciFolder) + "/attach").c_str(), W_OK) != 0) {
        std::cerr << ProgramName << ": --attach-local: " << VhciFolder
                  << "/attach cannot be written (load vhci-hcd and run as root)\n";
        return KExitFailure;
    }
    std::mutex logMutex;
    auto log = [&logMutex](const std::string& ALine) {
        std::lock_guard lock(logMutex);
        std::cout << ALine << std::endl;
    };

    TStdEventLoop loop;
    TSimBus bus(loop);
    TSystemScope system(loop, bus);
    TUsbIpServer server(log);
    std::string error;
    if (!server.Listen(line.fPort, error)) {
        std::cerr << ProgramName << ": " << error << "\n";
        return KExitFailure;
    }
    std::unique_ptr<TUsbIpLocalAttacher> attacher;
    if (line.fAttachLocal) {
        attacher = std::make_unique<TUsbIpLocalAttacher>(server.Port(), VhciFolder, log);
        server.SetOfferObserver(
            [&attacher](const TUsbIpDeviceRecord& ARecord) { attacher->Attach(ARecord); });
    }
    // Every device the bus plugs in, re-enumerated ones included, is offered while it is there.
    const uint64_t observer =
        bus.AddPlugObserver([&server](const std::shared_ptr<TSimBusDevice>& ADevice, bool APlugged) {
            if (const auto* device = dynamic_cast<const TSimDevice*>(ADevice.get()); APlugged && device)
                if (auto wire = device->Wire())
                    server.Offer(std::move(wire));
        });
    log(std::string(ProgramName) + ": serving on 127.0.0.1:" + std::to_string(server.Port()));
    const auto devices = PlugSimDevices(bus, line.fSimulate, TSimKinds::BuiltIn(), line.fLatencyMs);
    // Kept for the report: a device's personality changes as it goes into its bootloader and back.
    const auto units = SimPhysicalDevicesOf(devices);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    bus.RemovePlugObserver(observer);
    server.SetOfferObserver({});
    server.Stop();
    if (!line.fSimReport.empty() && !WriteSimReport(line.fSimReport, units)) {
        std::cerr << ProgramName << ": --sim-report: cannot write " << line.fSimReport << "\n";
        return KExitFailure;
    }
    return KExitSuccess;
}
