// The real kelvo-trace listing the radio targets of a simulated wireless controller and driving one.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace {

const std::string KBench = " --wait-ms 0 --simulate wireless-controller,t1=12:3:12,t2=15:1:3,t4=18:2:5";

struct TRun {
    int fStatus;
    std::string fOut;
};

// Runs kelvo-trace with AArgs (shell words) and takes its stdout; stderr goes to /dev/null.
TRun RunTrace(const std::string& AArgs) {
    const std::string command = std::string(KELVO_TRACE_PATH) + " " + AArgs + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

} // namespace

TEST(KelvoTraceTargets, ListsEveryTargetWithItsSettings) {
    const TRun run = RunTrace("targets" + KBench);
    EXPECT_EQ(0, run.fStatus);
    EXPECT_EQ("target 1: RQT-01 (KELVO electronic target)\n"
              "  product id 12, hardware 3, firmware 12, serial 12-3-0-0-0-0-0-1, unlocked\n"
              "  frequencies 1200 Hz, 1400 Hz; signal 128, 128 of 255; LEDs green 0x00, red 0x00\n"
              "  stopped, receiver on (power 1), sync off; brightness LEDs 5, lamps 5; capabilities: "
              "receiver yes, lamps no\n"
              "target 2: BLINKER (Night-mode blinker)\n"
              "  product id 15, hardware 1, firmware 3, serial 15-1-0-0-0-0-0-2, unlocked\n"
              "  blinks 3, light 200 ms, dark 300 ms, DAC value 1000\n"
              "target 4: KBT 5 (KELVO USB Biathlon target 5m)\n"
              "  product id 18, hardware 2, firmware 5, serial 18-2-0-0-0-0-0-4, unlocked\n"
              "  frequencies 1200 Hz, 1400 Hz; signal 128, 128 of 255; LEDs green 0x00, red 0x00\n"
              "  stopped, receiver on (power 1), sync off; brightness LEDs 5, lamps 0; capabilities: "
              "receiver yes, lamps yes\n"
              "  IR LEDs 0x0F, flag 0, receiver mode 0\n",
              run.fOut);
    EXPECT_EQ("no targets on the radio\n",
              RunTrace("targets --wait-ms 0 --simulate wireless-controller,targets=0").fOut);
    // Without --simulate: the system's bus, where nothing has this vendor id.
    EXPECT_EQ(1, RunTrace("targets --wait-ms 0 --usb-vendor-id 0xFFFE").fStatus);
}

// Each command: its exit status and a line of the state printed after it (none when it fails).
TEST(KelvoTraceTargets, DrivesOneTarget) {
    const std::pair<std::string, std::string> ok[] = {
        {"1 led green 0x0F", "LEDs green 0x0F, red 0x00"},
        {"1 lock 1-2-3-4-5-6-7-8", "serial 12-3-0-0-0-0-0-1, locked"},
        {"1 frequencies 2000 2500", "frequencies 2000 Hz, 2500 Hz"},
        {"4 brightness 9", "brightness LEDs 9, lamps 0"},
    };
    for (const auto& [args, line] : ok) {
        const TRun run = RunTrace("target " + args + KBench);
        EXPECT_EQ(0, run.fStatus) << args;
        EXPECT_NE(std::string::npos, run.fOut.find(line)) << args << "\n" << run.fOut;
    }
    const std::pair<std::string, int> refused[] = {
        {"1 lock 9-9-9-9-9-9-9-9", 1}, // the target checks the key
        {"4 lamp 5", 1},               // no lamp level on a biathlon target of hardware 2
        {"1 blink", 1},                // not a blinker
        {"3 start", 1},                // no target there
        {"1 led blue 3", 2},
        {"17 start", 2},
        // Values outside their ranges never reach the target.
        {"1 led green 256", 2},
        {"1 led red -1", 2},
        {"1 led green 0x1FF", 2},
        {"4 brightness 256", 2},
        {"1 signal NaN 0.5", 2},
        {"1 frequencies 150 2000", 2},
        {"1 address 32", 2},
        {"1 start --wait-ms 0", 2}, // given twice
        {"1 start --usb-vendor-id 0", 2},
    };
    for (const auto& [args, status] : refused) {
        const TRun run = RunTrace("target " + args + KBench);
        EXPECT_EQ(status, run.fStatus) << args;
        EXPECT_EQ("", run.fOut) << args;
    }
}

// The factory commands of a target in its bootloader: the serial and key writes only with --factory,
// everything past the secret only once it was given, in the same run.
TEST(KelvoTraceTargets, FactoryCommandsOfABootloaderTarget) {
    const std::string bench = " --wait-ms 0 --simulate wireless-controller,t1=12:3:12:stub";
    const std::string secret = " --secret 82-70-45-70-65-67-84-49";
    const struct {
        std::string fArgs;
        int fStatus;
        std::string fLine; // a line of the state printed after the command; none when it fails
    } cases[] = {
        {"1 hwinfo", 0,
         "bootloader: hardware 12 (Wireless target), processor 2617, code start 0x1100; "
         "secret operations off\n"},
        {"1 serial 1-2-3-4-5-6-7-8" + secret, 2, ""},
        {"1 key 1-2-3-4-5-6-7-8 --factory", 1, ""},
        {"1 serial 1-2-3-4-5-6-7-8 --factory" + secret, 0, "serial 1-2-3-4-5-6-7-8, unlocked"},
        {"1 key 9-9-9-9-9-9-9-9 --factory" + secret, 0, "secret operations on; key 9-9-9-9-9-9-9-9\n"},
        {"1 readkey" + secret, 0, "secret operations on; key 1-2-3-4-5-6-7-8\n"},
        {"1 readkey --secret 1-1-1-1-1-1-1-1", 1, ""},
        {"1 readkey", 1, ""},
        {"1 serial 1-2-3 --factory", 2, ""},
    };
    for (const auto& c : cases) {
        const TRun run = RunTrace("target " + c.fArgs + bench);
        EXPECT_EQ(c.fStatus, run.fStatus) << c.fArgs;
        if (c.fLine.empty())
            EXPECT_EQ("", run.fOut) << c.fArgs;
        else
            EXPECT_NE(std::string::npos, run.fOut.find(c.fLine)) << c.fArgs << "\n" << run.fOut;
    }
    // A target running its firmware has no factory commands.
    EXPECT_EQ(1, RunTrace("target 1 readkey" + secret + KBench).fStatus);
}
