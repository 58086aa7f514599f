// kelvo-trace record and decode: aiming points from an optical or camera sensor or a wireless sensor
// heard through a wireless controller (real or simulated), or from captured bytes of a sensor's
// stream, printed as CSV or drawn on a target face with their shots (with Qt).
#include "MyLib/KelvoLib.h"
#include "MyLib/KelvoUsbQV.h"
#include "MyLib/KelvoUsbSensor.h"
#include "MyLib/OpticalStream.h"
#include "app/simbench/SimKindValues.h"
#include "platform/AtomicFile.h"
#include "platform/Console.h"
#include "platform/MainEventLoop.h"
#include "platform/NumberText.h"
#include "trace/CaptureReads.h"
#include "trace/RecordSources.h"
#include "trace/ShotSeries.h"
#include "trace/StreamCapture.h"
#include "trace/TraceBus.h"
#include "trace/TraceCommands.h"
#ifdef KELVO_TRACE_FACES
#include "trace/QtCanvas.h"
#include "trace/TracePicture.h"
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
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
    R"(usage: kelvo-trace record [--simulate KIND[,NAME=VALUE...]] [--usb-vendor-id ID] [--seconds N]
                         [--csv FILE] [--capture FILE] [--face TAG [--png FILE] [--png-each DIR]]

Opens the first optical or camera sensor (simulated with --simulate, else the first one plugged in,
waiting up to 2 s for one), starts it and prints each aiming point as CSV (counter,x_mm,y_mm,valid)
on stdout or into FILE, for N seconds (default 10). The sensor's defaults apply: smoothing on,
dynamic scale off. A progress line shows on a terminal.
Without a sensor, from the first wireless controller it powers the radio and records the first
wireless sensor heard, with the scale taken from the target it aims at; counter is the sensor's
packet counter. It fails when no sensor was heard.

  --simulate KIND     a simulated device, as for kelvo-fwupd-cli (e.g. optical-sensor,hw=5,fw=11,
                      camera-sensor or wireless-controller,t1=12:3:12,s1=wd-03)
  --usb-vendor-id ID  look for the devices under vendor id ID, as kelvo-fwupd-cli does (default
                      0x1209, or VendorId in [Usb] of the updater's settings.ini)
  --seconds N         how long to record, 0.1 to 86400
  --csv FILE          write the points to FILE instead of stdout
  --capture FILE      also write the sensor's stream bytes to FILE, as 'kelvo-trace decode' reads
                      them (optical and camera sensors); the decode options that read it back are
                      said on stderr
)" PICTURE_HELP;

// What a record line asks for: the options that choose the bus, how long, the CSV file (none:
// stdout), the capture file (none: no capture) and the pictures.
struct TRecordRequest {
    TParsedArgs fArgs;
    double fSeconds = 10;
    std::optional<std::string> fCsv;
    std::optional<std::string> fCapture;
    TPictureRequest fPictures;
};

// Whether the names A and B lead to one file (as far as they can be resolved now).
bool SameFile(const std::string& A, const std::string& B) {
    std::error_code errorA, errorB;
    const auto a = std::filesystem::weakly_canonical(A, errorA),
               b = std::filesystem::weakly_canonical(B, errorB);
    return errorA || errorB ? A == B : a == b;
}

TRecordRequest ParseRecordArgs(const TArgs& AArgs) {
    TRecordRequest request;
    request.fArgs = ParseArgs("record", AArgs,
                              {.fValueOptions = {"--simulate", "--usb-vendor-id", "--seconds", "--csv",
                                                 "--capture", "--face", "--png", "--png-each"},
                               .fWords = true});
    const TParsedArgs& args = request.fArgs;
    if (!args.fWords.empty())
        throw TUsageError("record: unexpected argument " + args.fWords[0]);
    if (auto it = args.fValues.find("--seconds"); it != args.fValues.end()) {
        const auto seconds = ParseReal(it->second, 0.1, 86400);
        if (!seconds)
            throw TUsageError("record: --seconds " + it->second + ": expected 0.1 to 86400");
        request.fSeconds = *seconds;
    }
    if (auto it = args.fValues.find("--csv"); it != args.fValues.end())
        request.fCsv = it->second;
    if (auto it = args.fValues.find("--capture"); it != args.fValues.end())
        request.fCapture = it->second;
    // One file would end up holding the capture alone: the points would be lost.
    if (request.fCsv && request.fCapture && SameFile(*request.fCsv, *request.fCapture))
        throw TUsageError("record: --csv and --capture name the same file");
    request.fPictures = ParsePictureArgs("record", args);
    return request;
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

// Writes AData as the whole of AFile; false, said on stderr, when it cannot.
bool WriteWhole(const std::string& AFile, const std::string& AData) {
    try {
        ReplaceFileContents(AFile, AData);
        return true;
    } catch (const EAtomicWriteError& e) {
        std::cerr << Program << ": record: " << e.what() << "\n";
        return false;
    }
}

int RecordCommand(const TArgs& AArgs) {
    const TRecordRequest request = ParseRecordArgs(AArgs);
    // The CSV and capture files are written whole at the end, so a failed write leaves what stood
    // there before.
    std::ostringstream csv;
    TStreamCapture capture;
    TTraceBus bus("record", request.fArgs);
    // The writer and its series outlive the source, whose point handlers write into them.
    TShotSeries series;
    std::optional<TPointWriter> writer;
    const std::unique_ptr<TRecordSource> source =
        FindRecordSource(bus, request.fCapture ? &capture : nullptr);
    if (!source)
        return KExitFailure;
    // Pictures take the place of the points on stdout.
    const bool pictures = request.fPictures.fFace != nullptr;
    writer.emplace(request.fCsv ? &csv : pictures ? nullptr : &std::cout, pictures ? &series : nullptr);
    if (!source->Start(
            [&writer](uint32_t ACounter, const TQueuedPoint_V1& APoint) { writer->Write(ACounter, APoint); }))
        return KExitFailure;
    series.SetClock(source->Clock());
    RecordFor(bus.Loop(), request.fSeconds, *writer);
    const bool stopped = source->Stop();
    if (!source->Heard())
        return KExitFailure;
    // What came before a sensor went away is kept.
    if (request.fCsv && !WriteWhole(*request.fCsv, csv.str()))
        return KExitFailure;
    if (request.fCapture) {
        if (!WriteWhole(*request.fCapture, capture.Bytes()))
            return KExitFailure;
        std::cerr << Program << ": record: " << *request.fCapture << " holds " << capture.Bytes().size()
                  << " bytes of the sensor's stream; read it with: " << Program << " decode "
                  << source->DecodeOptions() << " " << *request.fCapture << "\n";
    }
    if (pictures && !WritePictures("record", request.fPictures, series))
        return KExitFailure;
    if (!stopped) {
        std::cerr << Program << ": record: the sensor did not answer at the end (unplugged?); the "
                  << writer->Count() << " points recorded before are kept\n";
        return KExitFailure;
    }
    return KExitSuccess;
}

const char* const DecodeHelp =
    R"(usage: kelvo-trace decode --kind optical|camera --hw N --fw N [--protocol N] [--center X,Y]
                         [--lens-distance D] [--face TAG [--png FILE] [--png-each DIR]] FILE

Feeds the bytes of FILE, as the family driver's stream reads deliver them, to the sensor's input
and prints the aiming points as CSV (counter,x_mm,y_mm,valid). The sensor's defaults apply:
smoothing on, dynamic scale off.

  --kind KIND        optical or camera
  --hw N, --fw N     the board's hardware and firmware versions
  --protocol N       the protocol major version (camera sensors; needed from firmware 15 on, where
                     the device reports it)
  --center X,Y       camera sensors: the pixel column and row the positions are measured from, the
                     sensor's optical centre (default 501,240)
  --lens-distance D  camera sensors: the lens distance of the sensor (default 45)

'kelvo-trace record --capture' says the options that read its capture back.
)" PICTURE_HELP;

// What a camera sensor's positions are measured from, when the decode line names it.
struct TCameraOptics {
    std::optional<std::pair<int32_t, int32_t>> fCenter;
    std::optional<float> fLensDistance;
};

TCameraOptics CameraOptics(const std::string& AKind, const TParsedArgs& AArgs) {
    TCameraOptics optics;
    const auto center = AArgs.fValues.find("--center"), lens = AArgs.fValues.find("--lens-distance");
    if (AKind != "camera" && (center != AArgs.fValues.end() || lens != AArgs.fValues.end()))
        throw TUsageError("decode: --center and --lens-distance are a camera sensor's");
    if (center != AArgs.fValues.end()) {
        const std::string& text = center->second;
        const std::size_t comma = text.find(',');
        const auto x = ParseNumber(text.substr(0, comma), 0xFFFF);
        const auto y =
            comma == std::string::npos ? std::nullopt : ParseNumber(text.substr(comma + 1), 0xFFFF);
        if (!x || !y)
            throw TUsageError("decode: --center " + EchoedText(text) +
                              ": expected a pixel column and row X,Y");
        optics.fCenter = {int32_t(*x), int32_t(*y)};
    }
    if (lens != AArgs.fValues.end()) {
        const auto distance = ParseReal(lens->second, 1e-3, 1e6);
        if (!distance)
            throw TUsageError("decode: --lens-distance " + EchoedText(lens->second) +
                              ": expected 0.001 to 1000000");
        optics.fLensDistance = float(*distance);
    }
    return optics;
}

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
    const TParsedArgs args = ParseArgs("decode", AArgs,
                                       {.fValueOptions = {"--kind", "--hw", "--fw", "--protocol", "--center",
                                                          "--lens-distance", "--face", "--png", "--png-each"},
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
    const TCameraOptics optics = CameraOptics(kind->second, args);
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
        if (optics.fLensDistance) {
            sensor.fLensDistance = *optics.fLensDistance;
            sensor.SetWorkingDistance(sensor.fWorkingDistance);
        }
        const auto [centerX, centerY] = optics.fCenter.value_or(std::pair{sensor.fX0, sensor.fY0});
        sensor.Stream().SetCenter(centerX * sensor.fPixToMMScale, centerY * sensor.fPixToMMScale);
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
        TCaptureReads reads(
            OpticalStreamHasRecords(versionHW, versionFW), KOldFrameSize,
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
