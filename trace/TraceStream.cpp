// kelvo-trace record and decode: aiming points from a (simulated) optical or camera sensor or a
// wireless sensor heard through a wireless controller, or from captured bytes of a sensor's stream,
// printed as CSV.
#include "MyLib/KelvoUsbQV.h"
#include "MyLib/KelvoUsbSensor.h"
#include "MyLib/KelvoUsbWireless1.h"
#include "MyLib/OpticalStream.h"
#include "app/simbench/SimBench.h"
#include "platform/Console.h"
#include "platform/MainEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimCameraSensor.h"
#include "sim/SimOpticalSensor.h"
#include "sim/SimWirelessController.h"
#include "trace/TraceCommands.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <utility>

namespace {

// The points as CSV lines: frame counter, millimetres with three decimals, 1 or 0 for validity.
class TPointWriter {
public:
    explicit TPointWriter(std::ostream& AOut) : fOut(AOut) {
        fOut << "counter,x_mm,y_mm,valid\n" << std::fixed << std::setprecision(3);
    }
    // ACounter: the optical sensor's frame counter, or the camera sensor's packet index.
    void Write(uint32_t ACounter, const TQueuedPoint_V1& APoint) {
        fOut << ACounter << ',' << APoint.xmm << ',' << APoint.ymm << ',' << (APoint.valid ? 1 : 0) << '\n';
        ++fCount;
    }
    uint64_t Count() const { return fCount; }

private:
    std::ostream& fOut;
    uint64_t fCount = 0;
};

uint16_t Version(const std::string& ACommand, const std::string& AName, const std::string& AText) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(AText.data(), AText.data() + AText.size(), value);
    if (AText.empty() || error != std::errc() || end != AText.data() + AText.size() || value > 0xFFFF)
        throw TUsageError(ACommand + ": " + AName + " " + AText + ": expected a number 0-65535");
    return uint16_t(value);
}

const char* const RecordHelp =
    R"(usage: kelvo-trace record --simulate KIND[,NAME=VALUE...] [--seconds N] [--csv FILE]

Opens the first optical or camera sensor, starts it and prints each aiming point as CSV
(counter,x_mm,y_mm,valid) on stdout or into FILE, for N seconds (default 10). The sensor's
defaults apply: smoothing on, dynamic scale off. A progress line shows on a terminal.
From a wireless controller it powers the radio and records the first wireless sensor heard,
with the scale taken from the target it aims at; counter is the sensor's packet counter. It
fails when no sensor was heard.

  --simulate KIND   a simulated device, as for kelvo-fwupd-cli (e.g. optical-sensor,hw=5,fw=11,
                    camera-sensor or wireless-controller,t1=12:3:12,s1=wd-03)
  --seconds N       how long to record, 0.1 to 86400
  --csv FILE        write the points to FILE instead of stdout
)";

int RecordCommand(const TArgs& AArgs) {
    const TParsedArgs args = ParseArgs("record", AArgs, {"--simulate", "--seconds", "--csv"}, {});
    if (!args.fWords.empty())
        throw TUsageError("record: unexpected argument " + args.fWords[0]);
    const auto simulate = args.fValues.find("--simulate");
    if (simulate == args.fValues.end())
        throw TUsageError("record: --simulate KIND is required (no real USB backend is built in)");
    TSimDeviceOptions options;
    std::string error;
    if (!ParseSimDevice(simulate->second, TSimKinds::BuiltIn(), options, error))
        throw TUsageError("record: --simulate " + simulate->second + ": " + error);
    double seconds = 10;
    if (auto it = args.fValues.find("--seconds"); it != args.fValues.end()) {
        const auto [end, fault] =
            std::from_chars(it->second.data(), it->second.data() + it->second.size(), seconds);
        if (it->second.empty() || fault != std::errc() || end != it->second.data() + it->second.size() ||
            !(seconds >= 0.1 && seconds <= 86400))
            throw TUsageError("record: --seconds " + it->second + ": expected 0.1 to 86400");
    }
    std::ofstream file;
    if (auto it = args.fValues.find("--csv"); it != args.fValues.end()) {
        file.open(it->second, std::ios::binary | std::ios::trunc);
        if (!file) {
            std::cerr << Program << ": record: cannot write " << it->second << "\n";
            return 1;
        }
    }

    TMainEventLoop loop;
    TSimBus bus{loop};
    TSystemScope scope{loop, bus};
    const auto devices = PlugSimDevices(bus, {options}, TSimKinds::BuiltIn(), 0);
    std::shared_ptr<TSimOpticalSensor> sim;
    std::shared_ptr<TSimCameraSensor> camera;
    std::shared_ptr<TSimWirelessController> radio;
    for (const auto& device : devices)
        if ((sim = std::dynamic_pointer_cast<TSimOpticalSensor>(device)) ||
            (camera = std::dynamic_pointer_cast<TSimCameraSensor>(device)) ||
            (radio = std::dynamic_pointer_cast<TSimWirelessController>(device)))
            break;
    if (!sim && !camera && !radio) {
        std::cerr << Program << ": record: no optical, camera or wireless sensor to record from\n";
        return 1;
    }
    TPointWriter writer(file.is_open() ? static_cast<std::ostream&>(file) : std::cout);
    std::unique_ptr<TKelvoSensorUsbDevice> optical;
    std::unique_ptr<TKelvoUsbQVSensor> qv;
    std::unique_ptr<TKelvoWireless> controller;
    TCommonKelvoUsbDevice* sensor;
    bool started;
    bool heard = false;
    if (radio) {
        controller = std::make_unique<TKelvoWireless>(nullptr, radio->Path());
        sensor = controller.get();
        if (!controller->Open()) {
            std::cerr << Program << ": record: cannot open the wireless controller\n";
            return 1;
        }
        // Only the first sensor heard is recorded; the controller keeps the others.
        controller->fOnNewSensor = [&](TKelvoWireless*, TCustomWirelessSensor* ASensor) {
            if (std::exchange(heard, true))
                return;
            ASensor->OnNewPoint = [&](TCustomWirelessSensor*, PQueuedPoint P) {
                writer.Write(P->dwCounter, *P);
            };
        };
        started = controller->TurnPowerOn();
    } else if (sim) {
        optical = std::make_unique<TKelvoSensorUsbDevice>(nullptr, sim->Path());
        sensor = optical.get();
        if (!optical->Open()) {
            std::cerr << Program << ": record: cannot open the sensor\n";
            return 1;
        }
        optical->Stream().SetOnNewPoint(
            [&](const TQueuedPoint_V1& APoint) { writer.Write(APoint.dwCounter, APoint); });
        started = optical->Start();
    } else {
        qv = std::make_unique<TKelvoUsbQVSensor>(nullptr, camera->Path());
        sensor = qv.get();
        if (!qv->Open()) {
            std::cerr << Program << ": record: cannot open the sensor\n";
            return 1;
        }
        // Measured from the optical centre.
        qv->SetAdjustMode();
        qv->SetOnNewPoint([&](TKelvoUsbQVSensor*, const TQueuedPoint_V1* APoint) {
            writer.Write(APoint->dwSampleCounter, *APoint);
        });
        started = qv->Start();
    }
    if (!started) {
        std::cerr << Program
                  << (radio ? ": record: the radio does not power on\n"
                            : ": record: the sensor does not start (locked?)\n");
        return 1;
    }
    const bool progress = IsTerminal(stderr);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        loop.RunUntil([] { return false; }, 250);
        if (progress) {
            std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            std::cerr << "\rrecording: " << writer.Count() << " points, " << std::fixed
                      << std::setprecision(1) << elapsed.count() << " s" << std::flush;
        }
    }
    if (optical)
        optical->Stop();
    else if (qv)
        qv->Stop();
    sensor->Close();
    if (progress)
        std::cerr << "\n";
    if (radio && !heard) {
        std::cerr << Program << ": record: no wireless sensor was heard\n";
        return 1;
    }
    if (file.is_open() && !(file.flush())) {
        std::cerr << Program << ": record: cannot write the points\n";
        return 1;
    }
    return 0;
}

const char* const DecodeHelp =
    R"(usage: kelvo-trace decode --kind optical|camera --hw N --fw N [--protocol N] FILE

Feeds the bytes of FILE, as the family driver's stream reads deliver them, to the sensor's input
and prints the aiming points as CSV (counter,x_mm,y_mm,valid). The sensor's defaults apply:
smoothing on, dynamic scale off.

  --kind KIND     optical or camera
  --hw N, --fw N  the board's hardware and firmware versions
  --protocol N    the protocol major version (camera sensors; needed from firmware 15 on, where
                  the device reports it)
)";

// A camera sensor with its defaults, never opened, fed the captured reads.
int DecodeCamera(uint16_t AVersionHW, uint16_t AVersionFW, uint16_t AProtocol,
                 const std::vector<uint8_t>& ABytes, TPointWriter& AWriter) {
    TKelvoUsbQVSensor sensor(nullptr, "");
    sensor.fVersionHW = AVersionHW;
    sensor.fVersionFW = AVersionFW;
    sensor.fProtocolVersionMajor = AProtocol;
    sensor.ProtocolVersionChanged();
    sensor.SetOnNewPoint([&](TKelvoUsbQVSensor*, const TQueuedPoint_V1* APoint) {
        AWriter.Write(APoint->dwSampleCounter, *APoint);
    });
    // In reads of the family driver's size.
    for (size_t at = 0; at < ABytes.size(); at += TCameraStream::KFifoSize) {
        const size_t n = std::min<size_t>(TCameraStream::KFifoSize, ABytes.size() - at);
        TUsbBlock read(new uint8_t[n]);
        std::copy_n(ABytes.data() + at, n, read.get());
        sensor.ProcessData(std::move(read), uint32_t(n));
    }
    return 0;
}

int DecodeCommand(const TArgs& AArgs) {
    const TParsedArgs args = ParseArgs("decode", AArgs, {"--kind", "--hw", "--fw", "--protocol"}, {});
    if (args.fWords.size() != 1)
        throw TUsageError("decode: expected one FILE");
    const auto kind = args.fValues.find("--kind");
    if (kind == args.fValues.end() || (kind->second != "optical" && kind->second != "camera"))
        throw TUsageError("decode: --kind optical|camera is required");
    const auto hw = args.fValues.find("--hw"), fw = args.fValues.find("--fw");
    if (hw == args.fValues.end() || fw == args.fValues.end())
        throw TUsageError("decode: --hw N and --fw N are required");
    const uint16_t versionHW = Version("decode", "--hw", hw->second);
    const uint16_t versionFW = Version("decode", "--fw", fw->second);
    std::optional<uint16_t> protocol;
    if (auto it = args.fValues.find("--protocol"); it != args.fValues.end())
        protocol = Version("decode", "--protocol", it->second);
    if (kind->second == "camera" && !protocol)
        protocol = TKelvoUsbQVSensor::ImpliedProtocolMajor(versionHW, versionFW);
    if (kind->second == "camera" && !protocol)
        throw TUsageError("decode: --protocol N is needed for this camera sensor's versions");
    std::ifstream in(args.fWords[0], std::ios::binary);
    std::vector<uint8_t> bytes;
    std::vector<char> chunk(1 << 16);
    while (in.is_open() && (in.read(chunk.data(), std::streamsize(chunk.size())) || in.gcount() > 0)) {
        const size_t got = size_t(in.gcount());
        bytes.resize(bytes.size() + got);
        std::copy_n(chunk.data(), got, bytes.data() + bytes.size() - got);
    }
    if (!in.is_open() || in.bad()) {
        std::cerr << Program << ": decode: cannot read " << args.fWords[0] << "\n";
        return 1;
    }
    TPointWriter writer(std::cout);
    if (kind->second == "camera")
        return DecodeCamera(versionHW, versionFW, *protocol, bytes, writer);
    TOpticalStream stream;
    stream.SetDevice(versionHW, versionFW);
    stream.SetOnNewPoint([&](const TQueuedPoint_V1& APoint) { writer.Write(APoint.dwCounter, APoint); });
    stream.ProcessData(bytes.data(), bytes.size());
    return 0;
}

} // namespace

const TCommand KRecordCommand{"record", "record aiming points from a sensor as CSV", RecordHelp,
                              RecordCommand};
const TCommand KDecodeCommand{"decode", "decode captured sensor bytes into aiming points", DecodeHelp,
                              DecodeCommand};
