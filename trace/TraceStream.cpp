// kelvo-trace record and decode: aiming points from an optical or camera sensor or a wireless sensor
// heard through a wireless controller (real or simulated), or from captured bytes of a sensor's
// stream, printed as CSV.
#include "MyLib/KelvoUsbQV.h"
#include "MyLib/OpticalStream.h"
#include "app/simbench/SimKindValues.h"
#include "platform/AtomicFile.h"
#include "platform/Console.h"
#include "platform/MainEventLoop.h"
#include "platform/NumberText.h"
#include "trace/CaptureReads.h"
#include "trace/RecordSources.h"
#include "trace/StreamCapture.h"
#include "trace/TraceBus.h"
#include "trace/TraceCommands.h"

#include <algorithm>
#include <chrono>
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
                         [--csv FILE] [--capture FILE]

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
)";

// What a record line asks for: the options that choose the bus, how long, the CSV file (none:
// stdout) and the capture file (none: no capture).
struct TRecordRequest {
    TParsedArgs fArgs;
    double fSeconds = 10;
    std::optional<std::string> fCsv;
    std::optional<std::string> fCapture;
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
    request.fArgs =
        ParseArgs("record", AArgs,
                  {.fValueOptions = {"--simulate", "--usb-vendor-id", "--seconds", "--csv", "--capture"},
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
    // The writer outlives the source, whose point handlers write into it.
    std::optional<TPointWriter> writer;
    const std::unique_ptr<TRecordSource> source =
        FindRecordSource(bus, request.fCapture ? &capture : nullptr);
    if (!source)
        return KExitFailure;
    writer.emplace(request.fCsv ? static_cast<std::ostream&>(csv) : std::cout);
    if (!source->Start(
            [&writer](uint32_t ACounter, const TQueuedPoint_V1& APoint) { writer->Write(ACounter, APoint); }))
        return KExitFailure;
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
    if (!stopped) {
        std::cerr << Program << ": record: the sensor did not answer at the end (unplugged?); the "
                  << writer->Count() << " points recorded before are kept\n";
        return KExitFailure;
    }
    return KExitSuccess;
}

const char* const DecodeHelp =
    R"(usage: kelvo-trace decode --kind optical|camera --hw N --fw N [--protocol N] [--center X,Y]
                         [--lens-distance D] FILE

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
)";

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
    const TParsedArgs args =
        ParseArgs("decode", AArgs,
                  {.fValueOptions = {"--kind", "--hw", "--fw", "--protocol", "--center", "--lens-distance"},
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

    std::ifstream in(args.fWords[0], std::ios::binary);
    if (!in.is_open()) {
        std::cerr << Program << ": decode: cannot read " << args.fWords[0] << "\n";
        return KExitFailure;
    }
    TPointWriter writer(std::cout);
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
    return KExitSuccess;
}

} // namespace

const TCommand KRecordCommand{"record", "record aiming points from a sensor as CSV", RecordHelp,
                              RecordCommand};
const TCommand KDecodeCommand{"decode", "decode captured sensor bytes into aiming points", DecodeHelp,
                              DecodeCommand};
