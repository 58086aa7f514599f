// kelvo-fwupd-cli --check over the simulated bench: what it reports for each kind of device and
// target, its exit status, and that it leaves every device, journal and file as it found them.
#include "app/FirmwareCheck.h"
#include "app/simbench/SimReport.h"
#include "platform/CommandArgs.h"
#include "sim/SimPhysicalDevice.h"
#include "tests/scenarios/ConnectBench.h"

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace {

// The bench's devices plugged as on the command line, and the check run over them.
struct TCheckBench {
    TConnectBench fBench;
    std::vector<std::shared_ptr<TSimDevice>> fDevices;

    explicit TCheckBench(const std::vector<std::string>& ADevices) {
        for (const std::string& text : ADevices)
            fDevices.push_back(fBench.Plug(text));
        EXPECT_TRUE(fBench.fForm.OpenUserFolder());
        fBench.fForm.LoadBuiltInFirmware();
    }
    std::vector<TCheckedDevice> Check() { return CheckDevices(fBench.fForm); }
    // The state of every physical device, as --sim-report writes it. The wireless controller's close
    // (the library's own) switches its radio off, which counts a power-off request on a radio that is
    // off already: that count is left out.
    std::string State() {
        std::vector<std::shared_ptr<TSimBusDevice>> devices(fDevices.begin(), fDevices.end());
        return std::regex_replace(SimReportJson(SimPhysicalDevicesOf(devices)),
                                  std::regex("\"power_off_requests\": [0-9]+"), "");
    }
    // The host-to-device requests (request type 0x40) each device has seen so far, by request code.
    std::vector<std::set<int>> Commands() {
        std::vector<std::set<int>> seen;
        for (const auto& device : fDevices) {
            std::set<int> codes;
            for (const auto& [request, count] : device->VendorRequestsSeen())
                if (request.first == 0x40)
                    codes.insert(request.second);
            seen.push_back(codes);
        }
        return seen;
    }
};

std::string ReadAll(const std::string& AFile) {
    std::ifstream in(AFile, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TEST(FirmwareCheck, ReportsEachDeviceAndTargetWithTheFirmwareItWouldGet) {
    struct TCase {
        std::vector<std::string> fDevices;
        std::string fText;
        int fStatus;
    };
    const TCase cases[] = {
        {{}, "no devices found\n", 0},
        {{Optical()},
         "KELVO USB optical sensor 1-2-3-4-5-6-7-8 (product 0x0020, hardware 0x0002): firmware 0x0009 -> "
         "0x000A (built-in)\n",
         KExitUpdatesAvailable},
        {{"trigger,fw=99,serial=5-1-1-1-1-1-1-1"},
         "KELVO USB Trigger control 5-1-1-1-1-1-1-1 (product 0x0005, hardware 0x0004): firmware 0x0063, "
         "current\n",
         0},
        {{"trigger,hw=9,serial=5-1-1-1-1-1-1-1"},
         "KELVO USB Trigger control 5-1-1-1-1-1-1-1 (product 0x0005, hardware 0x0009): firmware 0x0008, no "
         "firmware for this device\n",
         0},
        // A bootloader is flashed whatever its flash holds.
        {{"bootloader,pid=5,hw=4,fw=9,flash=valid,serial=5-7-7-7-7-7-7-7"},
         "bootloader 5-7-7-7-7-7-7-7 (product 0x0005, hardware 0x0004): firmware 0x0009 -> 0x0009 "
         "(built-in)\n",
         KExitUpdatesAvailable},
        {{"target-controller,serial=2-1-1-1-1-1-1-1"},
         "KELVO USB electronic target 2-1-1-1-1-1-1-1 (product 0x0002, hardware 0x0002): firmware 0x0008, "
         "current\n"
         "  Standard, metal frame 6-1-2-3-4-5-6-7 (product 0x0006, hardware 0x0001): firmware 0x0007 -> "
         "0x0008 "
         "(built-in)\n",
         KExitUpdatesAvailable},
        {{"wireless-controller,serial=14-1-1-1-1-1-1-1,t1=12:3:13,t2=12:3:none"},
         "KELVO electronic target controller 14-1-1-1-1-1-1-1 (product 0x000E, hardware 0x0002): firmware "
         "0x0006, current\n"
         "  KELVO electronic target 12-3-0-0-0-0-0-1 (product 0x000C, hardware 0x0003): firmware 0x000D, "
         "current\n"
         "  Target stub 12-3-0-0-0-0-0-2 (product 0x000C, hardware 0x0003): firmware none -> 0x000D "
         "(built-in)\n",
         KExitUpdatesAvailable},
        // A device that cannot be identified fails the check, whatever else is found.
        {{Optical(), "bootloader,pid=5,hw=4,fw=7,flash=valid,serial=5-7-7-7-7-7-7-7,fail=serial"},
         "bootloader PATH2: cannot open the device\n"
         "KELVO USB optical sensor 1-2-3-4-5-6-7-8 (product 0x0020, hardware 0x0002): firmware 0x0009 -> "
         "0x000A (built-in)\n",
         KExitFailure},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.fDevices.empty() ? "no devices" : c.fDevices.front());
        TCheckBench bench(c.fDevices);
        const auto checked = bench.Check();
        std::string text = c.fText;
        if (const auto at = text.find("PATH2"); at != std::string::npos)
            text.replace(at, 5, bench.fDevices[1]->Path());
        EXPECT_EQ(CheckText(checked), text);
        EXPECT_EQ(CheckExitStatus(checked), c.fStatus);
    }
}

TEST(FirmwareCheck, SaysWhenTheJournalHoldsAnUnfinishedUpdate) {
    for (const auto& [step, unfinished] :
         {std::pair{"0", false}, std::pair{"1", true}, std::pair{"5", true}, std::pair{"6", false}}) {
        SCOPED_TRACE(step);
        TCheckBench bench({Optical()});
        bench.fBench.Prepare({{"UpdateStep", step}});
        const std::string before = ReadAll(bench.fBench.SettingsFile());
        const auto checked = bench.Check();
        ASSERT_EQ(checked.size(), 1u);
        EXPECT_EQ(checked[0].fUnfinished, unfinished);
        EXPECT_EQ(CheckText(checked).find("; an update is unfinished") != std::string::npos, unfinished);
        // Read, never reset.
        EXPECT_EQ(ReadAll(bench.fBench.SettingsFile()), before);
    }
}

TEST(FirmwareCheck, ChangesNoDeviceAndSendsNoSwitchOrWrite) {
    TCheckBench bench({Optical("calibration=0102030405060708090A0B0C0D0E0F1011121314"),
                       "camera-sensor,serial=9-1-1-1-1-1-1-1", "pulse-sensor,serial=4-1-1-1-1-1-1-1",
                       "trigger,serial=5-1-1-1-1-1-1-1",
                       "bootloader,pid=5,hw=4,fw=7,flash=valid,serial=5-7-7-7-7-7-7-7",
                       "target-controller,serial=2-1-1-1-1-1-1-1",
                       "wireless-controller,serial=14-1-1-1-1-1-1-1,t1=12:3:11,t2=12:3:none"});
    const std::string state = bench.State();
    const auto commandsBefore = bench.Commands();
    const auto checked = bench.Check();
    // Every device and every target was seen, and each one that is older is reported so.
    EXPECT_EQ(checked.size(), 10u) << CheckText(checked);
    EXPECT_EQ(
        std::count_if(checked.begin(), checked.end(),
                      [](const TCheckedDevice& d) { return d.fStatus == TCheckStatus::UpdateAvailable; }),
        8)
        << CheckText(checked);
    EXPECT_EQ(bench.State(), state);
    // The only commands a device took are those the library's open and close send: the sine table
    // chosen on the old optical sensor board (0x84), the radio switched off by the wireless
    // controller's close (0x90) and the forwarded target command that reads a target's identity
    // (0xF0; a target switched into its bootloader would show in the state above).
    const auto commandsAfter = bench.Commands();
    ASSERT_EQ(commandsAfter.size(), commandsBefore.size());
    for (std::size_t i = 0; i < commandsAfter.size(); ++i) {
        SCOPED_TRACE(i);
        std::set<int> added;
        for (int code : commandsAfter[i])
            if (!commandsBefore[i].count(code))
                added.insert(code);
        const std::set<int> allowed = {0x84, 0x90, 0xF0};
        EXPECT_TRUE(std::includes(allowed.begin(), allowed.end(), added.begin(), added.end()))
            << ::testing::PrintToString(added);
    }
    // Nothing written to the user folder: no journal, no history.
    EXPECT_TRUE(std::filesystem::is_empty(bench.fBench.fUserFolder));
}

TEST(FirmwareCheck, JsonGivesOneObjectPerDeviceOrTarget) {
    TCheckBench bench({"target-controller,serial=2-1-1-1-1-1-1-1"});
    const std::string json = CheckJson(bench.Check());
    const std::string path = bench.fDevices[0]->Path();
    std::string escaped;
    for (char c : path)
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    EXPECT_EQ(json,
              "{\"event\":\"check\",\"kind\":\"KELVO USB electronic target\",\"serial\":\"2-1-1-1-1-1-1-1\","
              "\"controller\":\"\",\"path\":\"" +
                  escaped +
                  "\",\"productId\":2,\"hardwareVersion\":2,\"firmwareVersion\":8,\"bootloader\":false,"
                  "\"status\":\"current\",\"imageVersion\":8,\"source\":\"built-in\",\"unfinished\":false}\n"
                  "{\"event\":\"check\",\"kind\":\"Standard, metal frame\",\"serial\":\"6-1-2-3-4-5-6-7\","
                  "\"controller\":\"2-1-1-1-1-1-1-1\",\"path\":\"\",\"productId\":6,\"hardwareVersion\":1,"
                  "\"firmwareVersion\":7,\"bootloader\":false,\"status\":\"update\",\"imageVersion\":8,"
                  "\"source\":\"built-in\",\"unfinished\":false}\n");
}
