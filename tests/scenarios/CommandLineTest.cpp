// The front ends' command lines and the --simulate DEVICE grammar.
#include "app/CommandLine.h"

#include <gtest/gtest.h>

namespace {

// A registry with one kind standing in for a device family, with one name of its own.
TSimKinds TestKinds() {
    TSimKinds kinds;
    EXPECT_TRUE(kinds.Register({"sensor", "optical sensor", {"calibration"}, nullptr, nullptr}));
    EXPECT_FALSE(kinds.Register({"sensor", "again", {}, nullptr, nullptr}));
    return kinds;
}

bool Parse(const std::vector<std::string>& AArgs, TCommandLine& ALine, std::string& AError,
           TFrontEnd AFrontEnd = TFrontEnd::Console) {
    return ParseCommandLine(AArgs, AFrontEnd, TestKinds(), ALine, AError);
}

} // namespace

TEST(SimDevice, ParsesEveryCommonName) {
    TSimDeviceOptions options;
    std::string error;
    ASSERT_TRUE(ParseSimDevice("sensor,serial=1-2-3-4-5-6-7-255,pid=0x0020,hw=2,fw=0X1F01,locked=1,"
                               "key=9-8-7-6-5-4-3-2,driver=generic,plug-after-ms=1500,calibration=raw",
                               TestKinds(), options, error))
        << error;
    EXPECT_EQ(options.fKind, "sensor");
    EXPECT_EQ(options.fSerial, (TSimBytes8{1, 2, 3, 4, 5, 6, 7, 255}));
    EXPECT_EQ(options.fPid, 0x20);
    EXPECT_EQ(options.fHw, 2);
    EXPECT_EQ(options.fFw, 0x1F01);
    EXPECT_EQ(options.fLocked, true);
    EXPECT_EQ(options.fKey, (TSimBytes8{9, 8, 7, 6, 5, 4, 3, 2}));
    EXPECT_EQ(options.fDriver, TUsbDriverKind::Generic);
    EXPECT_EQ(options.fPlugAfterMs, 1500u);
    EXPECT_EQ(options.fExtra.at("calibration"), "raw");

    ASSERT_TRUE(ParseSimDevice("sensor", TestKinds(), options, error));
    EXPECT_FALSE(options.fSerial.has_value());
    EXPECT_EQ(options.fPlugAfterMs, 0u);
}

TEST(SimDevice, RejectsWithAMessageNamingTheFault) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"camera", "unknown device kind \"camera\" (known kinds: sensor)"},
        {"", "unknown device kind \"\" (known kinds: sensor)"},
        {"sensor,colour=red", "unknown name \"colour\" for device kind sensor"},
        {"sensor,pid", "\"pid\" is not NAME=VALUE"},
        {"sensor,", "\"\" is not NAME=VALUE"},
        {"sensor,pid=1,pid=2", "\"pid\" is given twice"},
        {"sensor,pid=" + std::string(70, '1'), "bad value \"" + std::string(60, '1') +
                                                   "...\" for pid= (expected a number 0-65535, decimal or 0x "
                                                   "hexadecimal)"},
        {"sensor,pid=65536", "bad value \"65536\" for pid= (expected a number 0-65535, decimal or 0x "
                             "hexadecimal)"},
        {"sensor,hw=-1", "bad value \"-1\" for hw= (expected a number 0-65535, decimal or 0x hexadecimal)"},
        {"sensor,fw=0x", "bad value \"0x\" for fw= (expected a number 0-65535, decimal or 0x hexadecimal)"},
        {"sensor,locked=yes", "bad value \"yes\" for locked= (expected 0 or 1)"},
        {"sensor,driver=winusb", "bad value \"winusb\" for driver= (expected family or generic)"},
        {"sensor,plug-after-ms=1.5", "bad value \"1.5\" for plug-after-ms= (expected milliseconds "
                                     "0-86400000)"},
    };
    for (const auto& [text, message] : cases) {
        TSimDeviceOptions options;
        std::string error;
        EXPECT_FALSE(ParseSimDevice(text, TestKinds(), options, error)) << text;
        EXPECT_EQ(error, message) << text;
    }
    std::string error;
    TSimDeviceOptions options;
    EXPECT_FALSE(ParseSimDevice("x", TSimKinds(), options, error));
    EXPECT_EQ(error, "unknown device kind \"x\" (known kinds: none)");
}

TEST(SimDevice, DashedBytesNeedEightDecimalsInRange) {
    EXPECT_EQ(ParseDashedBytes("0-0-0-0-0-0-0-0"), TSimBytes8{});
    for (const char* bad : {"1-2-3-4-5-6-7", "1-2-3-4-5-6-7-8-9", "1-2-3-4-5-6-7-256", "1-2-3-4-5-6-7-",
                            "1-2-3-4-5-6-7-0x1", "1--3-4-5-6-7-8", " 1-2-3-4-5-6-7-8", ""})
        EXPECT_FALSE(ParseDashedBytes(bad).has_value()) << bad;
}

TEST(CommandLine, ConsoleOptionsInBothSpellings) {
    TCommandLine line;
    std::string error;
    ASSERT_TRUE(
        Parse({"--simulate", "sensor,fw=3", "--simulate=sensor", "--firmware-server",
               "http://127.0.0.1:8080/downloads/fw", "--yes", "--key=1-1-1-1-1-1-1-1", "--latency-ms", "0"},
              line, error))
        << error;
    ASSERT_EQ(line.fSimulate.size(), 2u);
    EXPECT_EQ(line.fSimulate[0].fFw, 3);
    // The file name is appended to the base, so a missing final slash is added.
    EXPECT_EQ(line.fFirmwareServer, "http://127.0.0.1:8080/downloads/fw/");
    EXPECT_TRUE(line.fYes);
    EXPECT_EQ(line.fKey, "1-1-1-1-1-1-1-1");
    EXPECT_EQ(line.fLatencyMs, 0u);

    ASSERT_TRUE(Parse({}, line, error));
    EXPECT_EQ(line.fLatencyMs, 1u);
    EXPECT_TRUE(line.fFirmwareServer.empty());
    ASSERT_TRUE(Parse({"--help", "--version"}, line, error));
    EXPECT_TRUE(line.fHelp && line.fVersion);
}

TEST(CommandLine, UsageErrors) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--simulate"}, "--simulate needs a value"},
        {{"--simulate", "robot"}, "--simulate robot: unknown device kind \"robot\" (known kinds: sensor)"},
        {{"--firmware-server", "ftp://x/"}, "--firmware-server ftp://x/: not an http:// or https:// URL"},
        {{"--key", "1-2-3"}, "--key 1-2-3: expected eight dashed decimals 0-255, e.g. 1-2-3-4-5-6-7-8"},
        {{"--latency-ms", "fast"}, "--latency-ms fast: expected milliseconds 0-10000"},
        {{"--yes=1"}, "--yes takes no value"},
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"extra"}, "unknown option extra"},
    };
    for (const auto& [args, message] : cases) {
        TCommandLine line;
        std::string error;
        EXPECT_FALSE(Parse(args, line, error)) << message;
        EXPECT_EQ(error, message);
    }
}

TEST(CommandLine, TheWindowTakesTheBenchAndInformationOptionsOnly) {
    TCommandLine line;
    std::string error;
    EXPECT_TRUE(Parse({"--simulate", "sensor", "--firmware-server", "https://h/downloads/fw/"}, line, error,
                      TFrontEnd::Window));
    ASSERT_TRUE(Parse({"--help", "--version"}, line, error, TFrontEnd::Window)) << error;
    EXPECT_TRUE(line.fHelp && line.fVersion);
    for (const char* option : {"--yes", "--sim-report"}) {
        EXPECT_FALSE(Parse({option}, line, error, TFrontEnd::Window));
        EXPECT_EQ(error, std::string("unknown option ") + option);
    }
    const std::string usage = UsageText(TFrontEnd::Window, "kelvo-fwupd", TestKinds());
    EXPECT_NE(usage.find("--simulate DEVICE"), std::string::npos);
    EXPECT_NE(usage.find("--version"), std::string::npos);
    EXPECT_EQ(usage.find("--yes"), std::string::npos);
    EXPECT_NE(usage.find("sensor  optical sensor [calibration=]"), std::string::npos);
}

TEST(SimDevice, UpdateFaultsAreCommonNames) {
    TSimDeviceOptions options;
    std::string error;
    ASSERT_TRUE(ParseSimDevice("sensor,unplug-at-block=3568,unplug-after=validate,replug-after-ms=250,"
                               "fail=erase+serial",
                               TestKinds(), options, error))
        << error;
    EXPECT_EQ(3568u, options.fFaults.UnplugAtBlock);
    EXPECT_EQ(TSimUpdateStage::Validate, options.fFaults.UnplugAfter);
    EXPECT_EQ(250u, options.fFaults.ReplugAfterMs);
    EXPECT_EQ((std::set<TSimStubRequest>{TSimStubRequest::Erase, TSimStubRequest::Serial}),
              options.fFaults.FailOnce);
    for (const char* stage : {"switch", "erase", "synchro", "validate", "reconnect"})
        EXPECT_TRUE(ParseSimDevice(std::string("sensor,unplug-after=") + stage, TestKinds(), options, error))
            << stage;
    for (const char* request : {"erase", "synchro", "write", "validate", "reconnect", "hwinfo", "serial"})
        EXPECT_TRUE(ParseSimDevice(std::string("sensor,fail=") + request, TestKinds(), options, error))
            << request;
    ASSERT_TRUE(ParseSimDevice("sensor", TestKinds(), options, error));
    EXPECT_EQ(0u, options.fFaults.UnplugAtBlock);
    EXPECT_FALSE(options.fFaults.UnplugAfter || options.fFaults.ReplugAfterMs);
    EXPECT_TRUE(options.fFaults.FailOnce.empty());

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"sensor,unplug-at-block=0", "bad value \"0\" for unplug-at-block= (expected a block number 1-7136, "
                                     "counted from 1 after the synchronisation block)"},
        {"sensor,unplug-at-block=7137", "bad value \"7137\" for unplug-at-block= (expected a block number "
                                        "1-7136, counted from 1 after the synchronisation block)"},
        {"sensor,unplug-after=write",
         "bad value \"write\" for unplug-after= (expected switch, erase, synchro, "
         "validate or reconnect)"},
        {"sensor,replug-after-ms=-5",
         "bad value \"-5\" for replug-after-ms= (expected milliseconds 0-86400000)"},
        {"sensor,fail=erase+", "bad value \"erase+\" for fail= (expected erase, synchro, write, validate, "
                               "reconnect, hwinfo or serial, joined by +)"},
        {"sensor,fail=switch", "bad value \"switch\" for fail= (expected erase, synchro, write, validate, "
                               "reconnect, hwinfo or serial, joined by +)"},
        {"sensor,fail=", "bad value \"\" for fail= (expected erase, synchro, write, validate, "
                         "reconnect, hwinfo or serial, joined by +)"},
    };
    for (const auto& [text, message] : cases) {
        EXPECT_FALSE(ParseSimDevice(text, TestKinds(), options, error)) << text;
        EXPECT_EQ(message, error) << text;
    }
}

TEST(CommandLine, SimReportIsAConsoleOption) {
    TCommandLine line;
    std::string error;
    ASSERT_TRUE(Parse({"--sim-report", "/tmp/report.json"}, line, error)) << error;
    EXPECT_EQ("/tmp/report.json", line.fSimReport);
    ASSERT_TRUE(Parse({"--sim-report=r.json"}, line, error)) << error;
    EXPECT_EQ("r.json", line.fSimReport);
    EXPECT_FALSE(Parse({"--sim-report"}, line, error));
    EXPECT_EQ("--sim-report needs a value", error);
    EXPECT_FALSE(Parse({"--sim-report="}, line, error));
    EXPECT_EQ("--sim-report needs a file name", error);
    EXPECT_FALSE(Parse({"--sim-report", "r.json"}, line, error, TFrontEnd::Window));
    const std::string usage = UsageText(TFrontEnd::Console, "kelvo-fwupd-cli", TestKinds());
    for (const char* text :
         {"--sim-report FILE", "unplug-at-block=N", "unplug-after=STEP", "replug-after-ms=M", "fail=REQUEST"})
        EXPECT_NE(usage.find(text), std::string::npos) << text;
}

// --once runs on the USB bus only, and --wait-ms bounds nothing but a --once run.
TEST(CommandLine, OnceUpdatesTheBusWithABoundedWait) {
    struct TCase {
        std::vector<std::string> fArgs;
        std::string fError; // empty: accepted
        uint32_t fWaitMs = KDefaultOnceWaitMs;
    };
    const TCase cases[] = {
        {{"--once", "--yes"}, ""},
        {{"--once", "--yes", "--wait-ms", "0"}, "", 0},
        {{"--wait-ms=3600000", "--once", "--yes"}, "", 3600000},
        {{"--once"}, "--once updates without asking; give --yes with it"},
        {{"--once", "--wait-ms", "3600001"}, "--wait-ms 3600001: expected milliseconds 0-3600000"},
        {{"--once", "--wait-ms", "soon"}, "--wait-ms soon: expected milliseconds 0-3600000"},
        {{"--wait-ms", "500"}, "--wait-ms bounds a --once run; give --once with it"},
        {{"--once", "--simulate", "sensor"},
         "--once works on the USB bus; a simulated run always ends once the bench is quiet"},
        {{"--once", "--list"}, "--once updates; it does not combine with --list, --check or --history"},
        {{"--once", "--check"}, "--once updates; it does not combine with --list, --check or --history"},
    };
    for (const TCase& c : cases) {
        TCommandLine line;
        std::string error;
        EXPECT_EQ(Parse(c.fArgs, line, error), c.fError.empty()) << c.fArgs[0];
        EXPECT_EQ(error, c.fError);
        if (c.fError.empty()) {
            EXPECT_TRUE(line.fOnce);
            EXPECT_EQ(line.fWaitMs, c.fWaitMs);
        }
    }
    TCommandLine line;
    std::string error;
    ASSERT_TRUE(Parse({}, line, error));
    EXPECT_FALSE(line.fOnce);
    EXPECT_FALSE(Parse({"--once"}, line, error, TFrontEnd::Window));
    EXPECT_EQ(error, "unknown option --once");
}

TEST(CommandLine, CheckAndHistoryTakeJsonAsTheirOutputForm) {
    struct TCase {
        std::vector<std::string> fArgs;
        bool fCheck;
        bool fHistory;
        bool fList;
        bool fJson;
        const char* fSerial;
    };
    for (const TCase& c : {TCase{{"--check"}, true, false, false, false, ""},
                           TCase{{"--json", "--check"}, true, false, false, true, ""},
                           TCase{{"--check", "--simulate", "sensor"}, true, false, false, false, ""},
                           TCase{{"--history", "--json", "--serial", "1-2-3-4-5-6-7-8"},
                                 false,
                                 true,
                                 false,
                                 true,
                                 "1-2-3-4-5-6-7-8"},
                           // Alone, --json is the form of an update run's output.
                           TCase{{"--json"}, false, false, false, true, ""},
                           TCase{{"--list"}, false, false, true, false, ""}}) {
        SCOPED_TRACE(c.fArgs.front());
        TCommandLine line;
        std::string error;
        ASSERT_TRUE(Parse(c.fArgs, line, error)) << error;
        EXPECT_EQ(line.fCheck, c.fCheck);
        EXPECT_EQ(line.fHistory, c.fHistory);
        EXPECT_EQ(line.fList, c.fList);
        EXPECT_EQ(line.fJson, c.fJson);
        EXPECT_EQ(line.fSerial, c.fSerial);
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> errors = {
        {{"--check", "--history"}, "--check, --history and --list do not combine"},
        {{"--history", "--list"}, "--check, --history and --list do not combine"},
        {{"--check", "--json", "--list"}, "--check, --history and --list do not combine"},
        {{"--serial", "1-2-3-4-5-6-7-8"}, "--serial selects records of --history"},
        {{"--history", "--serial", "1-2"},
         "--serial 1-2: expected eight dashed decimals 0-255, e.g. 1-2-3-4-5-6-7-8"},
        {{"--check", "--yes"}, "--check changes nothing; it does not combine with --yes"},
        {{"--history", "--simulate", "sensor"},
         "--history prints the update history; it does not combine with --simulate"},
    };
    for (const auto& [args, message] : errors) {
        TCommandLine line;
        std::string error;
        EXPECT_FALSE(Parse(args, line, error)) << message;
        EXPECT_EQ(error, message);
    }
    TCommandLine line;
    std::string error;
    EXPECT_FALSE(Parse({"--check"}, line, error, TFrontEnd::Window));
    EXPECT_EQ(error, "unknown option --check");
}
