// The real kelvo-trace recording from a simulated sensor and decoding captured stream bytes.
#include "sim/SimCameraStream.h"
#include "sim/SimOpticalStream.h"
#include "tests/support/TextLines.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

struct TRun {
    int fStatus;
    std::string fOut;
};

// Runs kelvo-trace with AArgs (shell words) and takes its stdout; stderr goes to /dev/null.
TRun RunTrace(const std::string& AArgs) {
    std::string command = std::string(KELVO_TRACE_PATH) + " " + AArgs + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string Capture(TSimOpticalStream& AStream, int AFrames) {
    std::string bytes;
    for (int i = 0; i < AFrames; ++i)
        for (const auto& transfer : AStream.NextFrame()) {
            if (!transfer.WholeRead) {
                uint32_t n = uint32_t(transfer.Bytes.size());
                bytes += char(0x88);
                for (int b = 0; b < 4; ++b)
                    bytes += char(n >> (8 * b));
            }
            bytes.append(transfer.Bytes.begin(), transfer.Bytes.end());
        }
    return bytes;
}

TEST(KelvoTraceStream, DecodePrintsOnePointPerWholeFrame) {
    const auto folder = std::filesystem::temp_directory_path() / ("kelvo-trace-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    struct TCase {
        const char* Name;
        TSimOpticalFault Fault;
        size_t Points;
    };
    for (TCase c :
         {TCase{"clean", TSimOpticalFault::None, 100}, TCase{"lone halves", TSimOpticalFault::LoneHalf, 90},
          TCase{"not a number", TSimOpticalFault::NonFinite, 100}}) {
        TSimOpticalStream stream({5, 11, c.Fault, 10});
        const auto file = folder / "capture.bin";
        std::ofstream(file, std::ios::binary) << Capture(stream, 100);
        TRun run = RunTrace("decode --kind optical --hw 5 --fw 11 " + file.string());
        ASSERT_EQ(run.fStatus, 0) << c.Name;
        auto lines = Lines(run.fOut);
        ASSERT_EQ(lines.size(), c.Points + 1) << c.Name;
        EXPECT_EQ(lines[0], "counter,x_mm,y_mm,valid");
        EXPECT_EQ(lines[1].substr(0, 2), "0,");
        size_t invalid = 0;
        for (const auto& line : lines)
            invalid += line.ends_with(",0");
        EXPECT_EQ(invalid, c.Fault == TSimOpticalFault::NonFinite ? 10u : 0u) << c.Name;
    }
    std::filesystem::remove_all(folder);
}

// Runs kelvo-trace with AArgs (shell words) and takes its stderr.
std::string TraceErrors(const std::string& AArgs) {
    const std::string command = std::string(KELVO_TRACE_PATH) + " " + AArgs + " 2>&1 >/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    std::string err;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        err.append(buffer, n);
    pclose(pipe);
    return err;
}

TEST(KelvoTraceStream, DecodeTakesRecordsWhereverTheFileIsCutAndSaysWhatItSkipped) {
    const auto file =
        std::filesystem::temp_directory_path() / ("kelvo-trace-" + std::to_string(getpid()) + ".bin");
    // Longer than one piece of the reader, so records straddle its pieces.
    TSimOpticalStream long_({5, 11, TSimOpticalFault::None, 10});
    std::ofstream(file, std::ios::binary) << Capture(long_, 5000);
    EXPECT_EQ(Lines(RunTrace("decode --kind optical --hw 5 --fw 11 " + file.string()).fOut).size(), 5001u);
    TSimOpticalStream halves({2, 10, TSimOpticalFault::None, 10});
    std::ofstream(file, std::ios::binary) << Capture(halves, 3000);
    EXPECT_EQ(Lines(RunTrace("decode --kind optical --hw 2 --fw 10 " + file.string()).fOut).size(), 3001u);
    // Old boards below firmware 10 send raw 93-byte frames.
    TSimOpticalStream raw({2, 9, TSimOpticalFault::None, 10});
    std::string frames;
    for (int i = 0; i < 3000; ++i)
        for (const auto& transfer : raw.NextFrame())
            frames.append(transfer.Bytes.begin(), transfer.Bytes.end());
    std::ofstream(file, std::ios::binary) << frames;
    EXPECT_EQ(Lines(RunTrace("decode --kind optical --hw 2 --fw 9 " + file.string()).fOut).size(), 3001u);

    // Stray bytes before, between and after the records: skipped, said, and the records still read.
    TSimOpticalStream stream({5, 11, TSimOpticalFault::None, 10});
    const std::string first = Capture(stream, 10), second = Capture(stream, 10);
    std::ofstream(file, std::ios::binary)
        << "xyz" << first << std::string("\x88\xff\xff\xff\xff", 5) << second << "\x88\x01";
    const std::string args = "decode --kind optical --hw 5 --fw 11 " + file.string();
    EXPECT_EQ(Lines(RunTrace(args).fOut).size(), 21u);
    EXPECT_EQ(TraceErrors(args), "kelvo-trace: decode: skipped 3 bytes at offset 0\n"
                                 "kelvo-trace: decode: skipped 5 bytes at offset " +
                                     std::to_string(3 + first.size()) +
                                     "\n"
                                     "kelvo-trace: decode: skipped 2 bytes at offset " +
                                     std::to_string(8 + first.size() + second.size()) + "\n");
    std::filesystem::remove(file);
}

TEST(KelvoTraceStream, RecordWritesTheSimulatedSensorsPoints) {
    const auto file =
        std::filesystem::temp_directory_path() / ("kelvo-trace-" + std::to_string(getpid()) + ".csv");
    TRun run =
        RunTrace("record --simulate optical-sensor,pid=35,hw=5,fw=11 --seconds 0.5 --csv " + file.string());
    ASSERT_EQ(run.fStatus, 0);
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    auto lines = Lines(text.str());
    std::filesystem::remove(file);
    ASSERT_GE(lines.size(), 10u);
    EXPECT_EQ(lines[0], "counter,x_mm,y_mm,valid");
    EXPECT_EQ(lines[1].substr(0, 2), "0,");

    // A recording that cannot be written whole (past a file-size limit) leaves the old file.
    std::ofstream(file) << "kept\n";
    const std::string record = "trap '' XFSZ; ulimit -f 1; " + std::string(KELVO_TRACE_PATH) +
                               " record --simulate optical-sensor --seconds 2 --csv " + file.string() +
                               " 2>/dev/null";
    EXPECT_EQ(WEXITSTATUS(std::system(record.c_str())), 1);
    std::string kept;
    std::getline(std::ifstream(file), kept);
    EXPECT_EQ(kept, "kept");
    std::filesystem::remove(file);
}

// Camera packets as the family driver's records, decoded with the sensor's defaults (a window at the
// optical centre, 50 m over a lens distance of 45, smoothing on): the first point is the aim itself.
TEST(KelvoTraceStream, DecodesCameraPacketsOfEveryLayout) {
    const auto file = std::filesystem::temp_directory_path() / ("kelvo-trace-qv-" + std::to_string(getpid()));
    for (auto [args, protocol] : {std::pair{"--hw 3 --fw 31 --protocol 18", 18},
                                  std::pair{"--hw 2 --fw 10", 10}, std::pair{"--hw 1 --fw 9", 1}}) {
        TSimCameraStream stream(1, 65530);
        TSimCameraFrame frame;
        frame.Protocol = uint16_t(protocol);
        frame.PixelsPerMm = 45 / (50000 * 0.006);
        frame.ImageId = 3;
        std::string bytes;
        TSimAimSample first;
        for (int i = 0; i < 20; ++i)
            for (const auto& transfer : stream.NextPacket(frame, i == 0 ? &first : nullptr)) {
                const uint32_t n = uint32_t(transfer.Bytes.size());
                bytes += char(0x88);
                for (int b = 0; b < 4; ++b)
                    bytes += char(n >> (8 * b));
                bytes.append(transfer.Bytes.begin(), transfer.Bytes.end());
            }
        std::ofstream(file, std::ios::binary) << bytes;
        TRun run = RunTrace(std::string("decode --kind camera ") + args + " " + file.string());
        ASSERT_EQ(run.fStatus, 0) << args;
        auto lines = Lines(run.fOut);
        ASSERT_EQ(lines.size(), 21u) << args;
        EXPECT_TRUE(lines[1].starts_with("65530,")) << lines[1];
        EXPECT_TRUE(lines[7].starts_with("0,")) << lines[7];
        double x = 0, y = 0;
        ASSERT_EQ(2, std::sscanf(lines[1].c_str(), "%*u,%lf,%lf", &x, &y));
        EXPECT_NEAR(x, first.XMm, 2e-3);
        EXPECT_NEAR(y, first.YMm, 2e-3);
    }
    std::filesystem::remove(file);
    std::string out = RunTrace("record --simulate camera-sensor --seconds 0.3").fOut;
    EXPECT_GE(Lines(out).size(), 5u);
}

// The first wireless sensor heard through the controller: its packet counter and points along the
// aiming path of its seed (the radio index), within the smoothing's lag once the filters settled.
TEST(KelvoTraceStream, RecordsTheFirstWirelessSensorHeard) {
    const auto lines =
        Lines(RunTrace("record --simulate wireless-controller,s1=wd-m01:cant=20 --seconds 2.5").fOut);
    ASSERT_GE(lines.size(), 151u);
    EXPECT_EQ(lines[0], "counter,x_mm,y_mm,valid");
    TSimAimPath path(1);
    double error = 0;
    for (size_t i = 1; i <= 150; ++i) {
        const TSimAimSample aim = path.Next();
        unsigned counter = 0, valid = 0;
        double x = 0, y = 0;
        ASSERT_EQ(4, std::sscanf(lines[i].c_str(), "%u,%lf,%lf,%u", &counter, &x, &y, &valid)) << lines[i];
        EXPECT_EQ((i - 1) & 0xFF, counter);
        EXPECT_EQ(1u, valid);
        if (i > 100)
            error += std::hypot(x - aim.XMm, y - aim.YMm);
    }
    EXPECT_LT(error / 50, 1.5);
}

TEST(KelvoTraceStream, ExitStatuses) {
    struct TCase {
        const char* Args;
        int Status;
    };
    for (TCase c :
         {TCase{"decode --kind optical --hw 5 FILE", 2}, TCase{"decode --kind laser --hw 5 --fw 1 F", 2},
          TCase{"decode --kind optical --hw 5 --fw 1 /nonexistent/file", 1},
          TCase{"decode --kind camera --hw 3 --fw 31 /dev/null", 2},
          // Without --simulate: the system's bus, where nothing has this vendor id.
          TCase{"record --usb-vendor-id 0xFFFE --seconds 0.1", 1}, TCase{"record --usb-vendor-id 0", 2},
          TCase{"record --simulate bootloader --seconds 0.1", 1}, TCase{"record --simulate x", 2},
          TCase{"record --simulate wireless-controller,targets=0,s1=wd-03 --seconds 0.2", 1},
          TCase{"record --simulate wireless-controller,s1=wd-09 --seconds 0.2", 2},
          TCase{"decode --kind optical --hw 5 --hw 5 --fw 11 /dev/null", 2},
          TCase{"decode --kind optical --hw 0x5 --fw 0xB /dev/null", 0},
          TCase{"decode --kind optical --hw 0x10000 --fw 11 /dev/null", 2},
          // Output that cannot be written is a failure.
          TCase{"decode --kind optical --hw 5 --fw 11 /dev/null >/dev/full", 1},
          TCase{"record --simulate optical-sensor --seconds 0.2 >/dev/full", 1}})
        EXPECT_EQ(RunTrace(c.Args).fStatus, c.Status) << c.Args;
}

// The picture options: refused without a face or a file, and in a build without Qt at all.
TEST(KelvoTraceStream, PictureOptions) {
#ifdef KELVO_TRACE_PICTURES
    constexpr int Drawn = 0, NotWritten = 1;
#else
    constexpr int Drawn = 2, NotWritten = 2;
#endif
    const std::string png =
        (std::filesystem::temp_directory_path() / ("kelvo-trace-" + std::to_string(getpid()) + ".png"))
            .string();
    struct TCase {
        std::string Args;
        int Status;
    };
    const std::string decode = "decode --kind optical --hw 5 --fw 11 ";
    for (const TCase& c :
         {TCase{decode + "--png " + png + " /dev/null", 2},
          TCase{decode + "--png-each /tmp --hw 5 /dev/null", 2}, TCase{decode + "--face AP10 /dev/null", 2},
          TCase{decode + "--face NOPE --png " + png + " /dev/null", 2},
          TCase{decode + "--face AP10 --png= /dev/null", 2},
          TCase{"record --simulate optical-sensor --face AP10 --seconds 0.1", 2},
          TCase{decode + "--face AP10 --png " + png + " /dev/null", Drawn},
          TCase{"record --simulate camera-sensor --seconds 0.2 --face AR10 --png " + png, Drawn},
          TCase{decode + "--face AP10 --png /nonexistent/x.png /dev/null", NotWritten}})
        EXPECT_EQ(RunTrace(c.Args).fStatus, c.Status) << c.Args;
    const std::string refusal = TraceErrors(decode + "--face AP10 --png " + png + " /dev/null");
#ifdef KELVO_TRACE_PICTURES
    EXPECT_EQ(refusal, "");
#else
    EXPECT_EQ(refusal, "kelvo-trace: decode: --face, --png and --png-each draw pictures, which this "
                       "kelvo-trace, built without Qt, cannot\n");
#endif
    std::filesystem::remove(png);
}

// A recording's capture, decoded with the options the recording names, gives the recorded points:
// each board's stream through either driver.
TEST(KelvoTraceStream, ACaptureDecodesIntoTheRecordedPoints) {
    struct TCase {
        const char* fDevice;
        const char* fDecodeOptions;
    };
    const std::string camera = " --center 380,236 --lens-distance 50";
    const TCase cases[] = {
        {"optical-sensor,hw=5,fw=11", "--kind optical --hw 5 --fw 11"},
        {"optical-sensor,hw=5,fw=11,driver=generic", "--kind optical --hw 5 --fw 11"},
        {"optical-sensor,pid=32,hw=2,fw=10", "--kind optical --hw 2 --fw 10"},
        {"optical-sensor,pid=32,hw=2,fw=10,driver=generic", "--kind optical --hw 2 --fw 10"},
        {"optical-sensor,pid=32,hw=2,fw=9", "--kind optical --hw 2 --fw 9"},
        {"camera-sensor", "--kind camera --hw 3 --fw 31 --protocol 18"},
        {"camera-sensor,driver=generic", "--kind camera --hw 3 --fw 31 --protocol 18"},
        {"camera-sensor,hw=2,fw=10", "--kind camera --hw 2 --fw 10 --protocol 10"},
    };
    const auto folder =
        std::filesystem::temp_directory_path() / ("kelvo-capture-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::string csv = (folder / "points.csv").string(), capture = (folder / "stream.bin").string();
    for (const TCase& c : cases) {
        const std::string options =
            c.fDecodeOptions + (std::string(c.fDevice).starts_with("camera") ? camera : std::string());
        const std::string said = TraceErrors("record --simulate " + std::string(c.fDevice) +
                                             " --seconds 0.5 --csv " + csv + " --capture " + capture);
        EXPECT_NE(said.find("read it with: kelvo-trace decode " + options + " " + capture + "\n"),
                  std::string::npos)
            << said;
        std::stringstream recorded;
        recorded << std::ifstream(csv).rdbuf();
        EXPECT_GE(Lines(recorded.str()).size(), 11u) << c.fDevice;
        const TRun decoded = RunTrace("decode " + options + " " + capture);
        EXPECT_EQ(decoded.fStatus, 0) << c.fDevice;
        EXPECT_EQ(decoded.fOut, recorded.str()) << c.fDevice;
    }
    std::filesystem::remove_all(folder);
}

// The capture options: refused where the stream cannot be decoded or the file cannot be written, and
// the camera's optics given as numbers.
TEST(KelvoTraceStream, CaptureAndOpticsOptions) {
    struct TCase {
        const char* fArgs;
        int fStatus;
    };
    for (TCase c :
         {TCase{"record --simulate wireless-controller,s1=wd-03 --seconds 0.2 --capture /dev/null", 2},
          TCase{"record --simulate optical-sensor --seconds 0.2 --capture /nonexistent/x.bin", 1},
          TCase{"record --simulate optical-sensor --seconds 0.2 --csv /tmp/p --capture /tmp/../tmp/p", 2},
          TCase{"decode --kind optical --hw 5 --fw 11 --center 1,2 /dev/null", 2},
          TCase{"decode --kind camera --hw 3 --fw 31 --protocol 18 --center 1 /dev/null", 2},
          TCase{"decode --kind camera --hw 3 --fw 31 --protocol 18 --center 1,x /dev/null", 2},
          TCase{"decode --kind camera --hw 3 --fw 31 --protocol 18 --lens-distance 0 /dev/null", 2},
          TCase{"decode --kind camera --hw 3 --fw 31 --protocol 18 --center 0x10,7 --lens-distance 4.5 "
                "/dev/null",
                0}})
        EXPECT_EQ(RunTrace(c.fArgs).fStatus, c.fStatus) << c.fArgs;
}

#ifndef __SANITIZE_ADDRESS__ // the sanitizer's shadow memory does not fit under an address-space limit
TEST(KelvoTraceStream, DecodeReadsAnEndlessInputInBoundedMemory) {
    // Under a 256 MiB address-space limit, decode keeps reading /dev/zero until it is stopped.
    const std::string command = "sh -c 'ulimit -v 262144; timeout 2 " + std::string(KELVO_TRACE_PATH) +
                                " decode --kind optical --hw 5 --fw 11 /dev/zero >/dev/null 2>&1; echo $?'";
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[64] = {};
    const size_t n = fread(buffer, 1, sizeof buffer - 1, pipe);
    pclose(pipe);
    EXPECT_EQ(std::string(buffer, n), "124\n"); // ended by the time-out, not by a failed allocation
}
#endif

} // namespace
