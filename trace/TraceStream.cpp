// kelvo-trace record and decode: aiming points from a (simulated) optical or camera sensor or a
// wireless sensor heard through a wireless controller, or from captured bytes of a sensor's stream,
// printed as CSV or drawn on a target face with their shots (with Qt).
#include "MyLib/KelvoLib.h"
#include "MyLib/KelvoUsbQV.h"
#include "MyLib/KelvoUsbSensor.h"
#include "MyLib/KelvoUsbWireless1.h"
#include "MyLib/OpticalStream.h"
#include "app/simbench/SimBench.h"
#include "app/simbench/SimKindValues.h"
#include "platform/AtomicFile.h"
#include "platform/Console.h"
#include "platform/MainEventLoop.h"
#include "platform/NumberText.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimCameraSensor.h"
#include "sim/SimOpticalSensor.h"
#include "sim/SimWirelessController.h"
#include "trace/CaptureReads.h"
#include "trace/ShotSeries.h"
#include "trace/TraceCommands.h"
#ifdef KELVO_TRACE_FACES
#include "trace/QtCanvas.h"
#include "trace/TracePicture.h"
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <utility>

namespace {

// Where the points go: CSV lines (frame counter, millimetres with three decimals, 1 or 0 for
// validity) into AOut, and the shot series of the pictures; each when given.
class TPointWriter {
public:
    explicit TPointWriter(std::ostream* AOut, TShotSeries* ASeries = nullptr) : fOut(AOut), fSeries(ASeries) {
        if (fOut)
            *fOut << "counter,x_mm,y_mm,valid\n" << std::fixed << std::setprecision(3);
    }
    // ACounter: the optical sensor's frame counter, or the camera sensor's packet index.
    void Write(uint32_t ACounter, const TQueuedPoint_V1& APoint) {
        if (fOut)
            *fOut << ACounter << ',' << APoint.xmm << ',' << APoint.ymm << ',' << (APoint.valid ? 1 : 0)
                  << '\n';
        if (fSeries)
            fSeries->Add(ACounter, APoint);
        ++fCount;
    }
    uint64_t Count() const { return fCount; }

private:
    std::ostream* fOut;
    TShotSeries* fSeries;
    uint64_t fCount = 0;
};

// The pictures a command asks for: the face and where they go; no face when none are asked for.
struct TPictureRequest {
    const TBaseTarget* fFace = nullptr;
    std::optional<std::string> fPng;
    std::optional<std::string> fPngEach;
};

TPictureRequest ParsePictureArgs(const std::string& ACommand, const TParsedArgs& AArgs) {
    TPictureRequest request;
    const auto face = AArgs.fValues.find("--face");
    const auto png = AArgs.fValues.find("--png");
    const auto each = AArgs.fValues.find("--png-each");
    const auto end = AArgs.fValues.end();
    if (face == end && png == end && each == end)
        return request;
#ifndef KELVO_TRACE_FACES
    throw TUsageError(ACommand +
                      ": --face, --png and --png-each draw pictures, which this kelvo-trace, built "
                      "without Qt, cannot");
#endif
    if (face == end)
        throw TUsageError(ACommand + ": --png and --png-each need --face TAG");
    if (png == end && each == end)
        throw TUsageError(ACommand + ": --face TAG needs --png FILE or --png-each DIR");
    for (const auto& option : {png, each})
        if (option != end && option->second.empty())
            throw TUsageError(ACommand + ": " + option->first + " needs a file name");
    request.fFace = &FaceByTag(ACommand, face->second);
    if (png != end)
        request.fPng = png->second;
    if (each != end)
        request.fPngEach = each->second;
    return request;
}

// The optical sensor's points by frame counter at its frame rate. Frames of old boards carry no
// shot index, so their microphone level tells a shot against the sensor's shot level.
TTraceClock OpticalClock(uint16_t AFrameRate, uint16_t AVersionHW, uint16_t AShotLevel) {
    return {.CountsPerSecond = double(AFrameRate),
            .CounterBits = 32,
            .ShotLevel = AVersionHW >= 5 ? 0.0 : double(AShotLevel)};
}

// The camera sensor's points by their 16-bit packet index at its frame rate; its shot marks give
// them a shot index.
TTraceClock CameraClock(uint16_t AFramesPerSecond) {
    return {.CountsPerSecond = double(AFramesPerSecond), .CounterBits = 16};
}

// The shots as CSV lines (number, seconds from the first point, millimetres, result on the face) on
// stdout, and the pictures. False, with the reason printed, when a picture cannot be written.
bool WritePictures([[maybe_unused]] const std::string& ACommand, const TPictureRequest& ARequest,
                   const TShotSeries& ASeries) {
    std::cout << "shot,seconds,x_mm,y_mm,result\n" << std::fixed << std::setprecision(3);
    size_t number = 0;
    for (const TShotMark& shot : ASeries.Shots()) {
        const bool placed = std::isfinite(shot.x) && std::isfinite(shot.y);
        std::cout << ++number << ',' << shot.Time << ',' << shot.x << ',' << shot.y << ','
                  << (placed ? ARequest.fFace->GetResultStr(shot.x, shot.y) : "") << '\n';
    }
#ifdef KELVO_TRACE_FACES
    StartGuiApplication();
    // A picture takes some tens of milliseconds: a progress line on a terminal for a long series.
    const bool progress = IsTerminal(stderr) && ASeries.Shots().size() > 1;
    const auto written = [](size_t AWritten, size_t ACount) {
        std::cerr << "\rpictures: " << AWritten << " of " << ACount << std::flush;
    };
    std::string error;
    const bool done = WriteTracePictures(*ARequest.fFace, ASeries, ARequest.fPng, ARequest.fPngEach, error,
                                         progress ? std::function<void(size_t, size_t)>(written) : nullptr);
    if (progress && ARequest.fPngEach)
        std::cerr << "\n";
    if (!done) {
        std::cerr << Program << ": " << ACommand << ": " << error << "\n";
        return false;
    }
#endif
    return true;
}

// The picture options of record and decode.
#define PICTURE_HELP                                                                                         \
    "\n"                                                                                                     \
    "With --face, the points are drawn on the target face TAG (see 'kelvo-trace face --list') instead\n"     \
    "of printed, and stdout lists the shots the sensor reported (shot,seconds,x_mm,y_mm,result): each\n"     \
    "shot as a hit of the face's calibre with its result beside it, after the aiming trace of the\n"         \
    "second before it, fading with age. Without shots the picture shows the whole trace. The picture\n"      \
    "keeps the card's proportions, its longer side 800 pixels, and is zoomed in on the aiming centre as\n"   \
    "far as what it shows allows. Pictures need a kelvo-trace built with Qt.\n"                              \
    "\n"                                                                                                     \
    "  --face TAG        the target face\n"                                                                  \
    "  --png FILE        one picture of every shot, captioned with their total\n"                            \
    "  --png-each DIR    one picture per shot, DIR/shot-001.png on (DIR/trace.png without shots)\n"

// Decimal or 0x hexadecimal, as every number of the program is read.
uint16_t Version(const std::string& ACommand, const std::string& AName, const std::string& AText) {
    const auto value = ParseNumber(AText, 0xFFFF);
    if (!value)
        throw TUsageError(ACommand + ": " + AName + " " + EchoedText(AText) +
                          ": expected a number 0-65535, decimal or 0x hexadecimal");
    return uint16_t(*value);
}

const char* const RecordHelp =
    R"(usage: kelvo-trace record --simulate KIND[,NAME=VALUE...] [--seconds N] [--csv FILE]
                          [--face TAG [--png FILE] [--png-each DIR]]

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
)" PICTURE_HELP;

// What a record line asks for: the simulated device, how long, the CSV file (none: stdout) and the
// pictures.
struct TRecordRequest {
    TSimDeviceOptions fDevice;
    double fSeconds = 10;
    std::optional<std::string> fCsv;
    TPictureRequest fPictures;
};

TRecordRequest ParseRecordArgs(const TArgs& AArgs) {
    const TParsedArgs args =
        ParseArgs("record", AArgs,
                  {.fValueOptions = {"--simulate", "--seconds", "--csv", "--face", "--png", "--png-each"},
                   .fWords = true});
    if (!args.fWords.empty())
        throw TUsageError("record: unexpected argument " + args.fWords[0]);
    const auto simulate = args.fValues.find("--simulate");
    if (simulate == args.fValues.end())
        throw TUsageError("record: --simulate KIND is required (no real USB backend is built in)");
    TRecordRequest request;
    std::string error;
    if (!ParseSimDevice(simulate->second, TSimKinds::BuiltIn(), request.fDevice, error))
        throw TUsageError("record: --simulate " + simulate->second + ": " + error);
    if (auto it = args.fValues.find("--seconds"); it != args.fValues.end()) {
        const auto seconds = ParseReal(it->second, 0.1, 86400);
        if (!seconds)
            throw TUsageError("record: --seconds " + it->second + ": expected 0.1 to 86400");
        request.fSeconds = *seconds;
    }
    if (auto it = args.fValues.find("--csv"); it != args.fValues.end())
        request.fCsv = it->second;
    request.fPictures = ParsePictureArgs("record", args);
    return request;
}

// The device a record takes its points from: opened and started by Start, which prints why it
// could not, and stopped and closed by Stop.
class TRecordSource {
public:
    virtual ~TRecordSource() = default;
    virtual bool Start(TPointWriter& AWriter) = 0;
    virtual void Stop() = 0;
    // After Stop: false, with the reason printed, when the record has nothing to show.
    virtual bool Heard() const { return true; }
    // After Start: how the points are timed and their shots told.
    virtual TTraceClock Clock() const = 0;
};

bool Refuse(const char* AWhy) {
    std::cerr << Program << ": record: " << AWhy << "\n";
    return false;
}

class TOpticalSource : public TRecordSource {
public:
    explicit TOpticalSource(const std::string& APath) : fSensor(nullptr, APath) {}
    bool Start(TPointWriter& AWriter) override {
        if (!fSensor.Open())
            return Refuse("cannot open the sensor");
        fSensor.Stream().SetOnNewPoint(
            [&AWriter](const TQueuedPoint_V1& APoint) { AWriter.Write(APoint.dwCounter, APoint); });
        return fSensor.Start() || Refuse("the sensor does not start (locked?)");
    }
    void Stop() override {
        fSensor.Stop();
        fSensor.Close();
    }
    TTraceClock Clock() const override {
        return OpticalClock(fSensor.fFrameRate, fSensor.fVersionHW, fSensor.MinPiezoLevel());
    }

private:
    TKelvoSensorUsbDevice fSensor;
};

class TCameraSource : public TRecordSource {
public:
    explicit TCameraSource(const std::string& APath) : fSensor(nullptr, APath) {}
    bool Start(TPointWriter& AWriter) override {
        if (!fSensor.Open())
            return Refuse("cannot open the sensor");
        // Measured from the optical centre.
        fSensor.SetAdjustMode();
        fSensor.SetOnNewPoint([&AWriter](TKelvoUsbQVSensor*, const TQueuedPoint_V1* APoint) {
            AWriter.Write(APoint->dwSampleCounter, *APoint);
        });
        return fSensor.Start() || Refuse("the sensor does not start (locked?)");
    }
    void Stop() override {
        fSensor.Stop();
        fSensor.Close();
    }
    TTraceClock Clock() const override { return CameraClock(fSensor.fFPS); }

private:
    TKelvoUsbQVSensor fSensor;
};

// The first wireless sensor heard through a wireless controller; the controller keeps the others.
class TRadioSource : public TRecordSource {
public:
    explicit TRadioSource(const std::string& APath) : fController(nullptr, APath) {}
    bool Start(TPointWriter& AWriter) override {
        if (!fController.Open())
            return Refuse("cannot open the wireless controller");
        fController.fOnNewSensor = [this, &AWriter](TKelvoWireless*, TCustomWirelessSensor* ASensor) {
            if (std::exchange(fHeard, true))
                return;
            ASensor->OnNewPoint = [&AWriter](TCustomWirelessSensor*, PQueuedPoint P) {
                AWriter.Write(P->dwCounter, *P);
            };
        };
        return fController.TurnPowerOn() || Refuse("the radio does not power on");
    }
    void Stop() override { fController.Close(); }
    bool Heard() const override { return fHeard || Refuse("no wireless sensor was heard"); }
    // The radio's packet counters wrap within seconds and two points may share one: the host's clock.
    TTraceClock Clock() const override { return {.HostTicks = true}; }

private:
    TKelvoWireless fController;
    bool fHeard = false;
};

// The source for the first plugged device that gives points; none when no device does.
std::unique_ptr<TRecordSource> RecordSourceFor(const std::vector<std::shared_ptr<TSimBusDevice>>& ADevices) {
    for (const auto& device : ADevices) {
        if (auto optical = std::dynamic_pointer_cast<TSimOpticalSensor>(device))
            return std::make_unique<TOpticalSource>(optical->Path());
        if (auto camera = std::dynamic_pointer_cast<TSimCameraSensor>(device))
            return std::make_unique<TCameraSource>(camera->Path());
        if (auto radio = std::dynamic_pointer_cast<TSimWirelessController>(device))
            return std::make_unique<TRadioSource>(radio->Path());
    }
    return nullptr;
}

// Runs the loop for ASeconds, with a progress line on a terminal.
void RecordFor(TMainEventLoop& ALoop, double ASeconds, const TPointWriter& AWriter) {
    const bool progress = IsTerminal(stderr);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(ASeconds);
    while (std::chrono::steady_clock::now() < end) {
        ALoop.RunUntil([] { return false; }, 250);
        if (progress) {
            std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            std::cerr << "\rrecording: " << AWriter.Count() << " points, " << std::fixed
                      << std::setprecision(1) << elapsed.count() << " s" << std::flush;
        }
    }
    if (progress)
        std::cerr << "\n";
}

int RecordCommand(const TArgs& AArgs) {
    const TRecordRequest request = ParseRecordArgs(AArgs);
    // The CSV file is written whole at the end, so a failed write leaves what stood there before.
    std::ostringstream csv;
    TMainEventLoop loop;
    TSimBus bus{loop};
    TSystemScope scope{loop, bus};
    const auto devices = PlugSimDevices(bus, {request.fDevice}, TSimKinds::BuiltIn(), 0);
    // The writer and its series outlive the source, whose point handlers write into them.
    TShotSeries series;
    std::optional<TPointWriter> writer;
    const std::unique_ptr<TRecordSource> source = RecordSourceFor(devices);
    if (!source) {
        Refuse("no optical, camera or wireless sensor to record from");
        return KExitFailure;
    }
    // Pictures take the place of the points on stdout.
    const bool pictures = request.fPictures.fFace != nullptr;
    writer.emplace(request.fCsv ? &csv : pictures ? nullptr : &std::cout, pictures ? &series : nullptr);
    if (!source->Start(*writer))
        return KExitFailure;
    series.SetClock(source->Clock());
    RecordFor(loop, request.fSeconds, *writer);
    source->Stop();
    if (!source->Heard())
        return KExitFailure;
    if (request.fCsv) {
        try {
            ReplaceFileContents(*request.fCsv, csv.str());
        } catch (const EAtomicWriteError& e) {
            std::cerr << Program << ": record: " << e.what() << "\n";
            return KExitFailure;
        }
    }
    if (pictures && !WritePictures("record", request.fPictures, series))
        return KExitFailure;
    return KExitSuccess;
}

const char* const DecodeHelp =
    R"(usage: kelvo-trace decode --kind optical|camera --hw N --fw N [--protocol N]
                          [--face TAG [--png FILE] [--png-each DIR]] FILE

Feeds the bytes of FILE, as the family driver's stream reads deliver them, to the sensor's input
and prints the aiming points as CSV (counter,x_mm,y_mm,valid). The sensor's defaults apply:
smoothing on, dynamic scale off.

  --kind KIND     optical or camera
  --hw N, --fw N  the board's hardware and firmware versions
  --protocol N    the protocol major version (camera sensors; needed from firmware 15 on, where
                  the device reports it)
)" PICTURE_HELP;

// Bytes of a capture, handed on as they are read.
using TFeed = std::function<void(const uint8_t* AData, size_t ASize)>;

// Reads AIn in bounded pieces into AFeed, so memory stays the same however long the capture is (a
// FIFO may never end). Each piece is a whole number of camera reads, so the sensor sees the reads it
// would see from the whole file at once. False when a read failed.
bool FeedCapture(std::istream& AIn, const TFeed& AFeed) {
    std::vector<char> chunk(16 * TCameraStream::KFifoSize);
    while (AIn.read(chunk.data(), std::streamsize(chunk.size())) || AIn.gcount() > 0)
        AFeed(reinterpret_cast<const uint8_t*>(chunk.data()), size_t(AIn.gcount()));
    return !AIn.bad();
}

int DecodeCommand(const TArgs& AArgs) {
    const TParsedArgs args =
        ParseArgs("decode", AArgs,
                  {.fValueOptions = {"--kind", "--hw", "--fw", "--protocol", "--face", "--png", "--png-each"},
                   .fWords = true});
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
    const TPictureRequest pictures = ParsePictureArgs("decode", args);

    std::ifstream in(args.fWords[0], std::ios::binary);
    if (!in.is_open()) {
        std::cerr << Program << ": decode: cannot read " << args.fWords[0] << "\n";
        return KExitFailure;
    }
    // Pictures take the place of the points on stdout.
    TShotSeries series;
    TPointWriter writer(pictures.fFace ? nullptr : &std::cout, pictures.fFace ? &series : nullptr);
    bool read = false;
    if (kind->second == "camera") {
        // A camera sensor with its defaults, never opened, fed the captured reads.
        TKelvoUsbQVSensor sensor(nullptr, "");
        sensor.fVersionHW = versionHW;
        sensor.fVersionFW = versionFW;
        sensor.fProtocolVersionMajor = *protocol;
        sensor.ProtocolVersionChanged();
        series.SetClock(CameraClock(sensor.fFPS));
        sensor.SetOnNewPoint([&](TKelvoUsbQVSensor*, const TQueuedPoint_V1* APoint) {
            writer.Write(APoint->dwSampleCounter, *APoint);
        });
        read = FeedCapture(in, [&](const uint8_t* AData, size_t ASize) {
            // In reads of the family driver's size.
            for (size_t at = 0; at < ASize; at += TCameraStream::KFifoSize) {
                const size_t n = std::min<size_t>(TCameraStream::KFifoSize, ASize - at);
                TUsbBlock block(new uint8_t[n]);
                std::copy_n(AData + at, n, block.get());
                sensor.ProcessData(std::move(block), uint32_t(n));
            }
        });
    } else {
        TOpticalStream stream;
        stream.SetDevice(versionHW, versionFW);
        const TKelvoSensorUsbDevice defaults(nullptr, "");
        series.SetClock(OpticalClock(defaults.fFrameRate, versionHW, defaults.MinPiezoLevel()));
        stream.SetOnNewPoint([&](const TQueuedPoint_V1& APoint) { writer.Write(APoint.dwCounter, APoint); });
        // New boards, and old boards from firmware 10, send records; older ones raw frames.
        TCaptureReads reads(
            versionHW >= 5 || versionFW >= 10, KOldFrameSize,
            [&](const uint8_t* AData, size_t ASize) { stream.ProcessData(AData, ASize); },
            [&](uint64_t AOffset, uint64_t ACount) {
                std::cerr << Program << ": decode: skipped " << ACount << " bytes at offset " << AOffset
                          << "\n";
            });
        read = FeedCapture(in, [&](const uint8_t* AData, size_t ASize) { reads.Feed(AData, ASize); });
        reads.Finish();
    }
    if (!read) {
        std::cerr << Program << ": decode: cannot read " << args.fWords[0] << "\n";
        return KExitFailure;
    }
    if (pictures.fFace && !WritePictures("decode", pictures, series))
        return KExitFailure;
    return KExitSuccess;
}

} // namespace

const TCommand KRecordCommand{"record", "record aiming points from a sensor as CSV or pictures", RecordHelp,
                              RecordCommand};
const TCommand KDecodeCommand{"decode", "decode captured sensor bytes into aiming points", DecodeHelp,
                              DecodeCommand};
