// The --simulate kind of the wireless controller: the radio targets its text describes, defaults,
// and the texts it refuses.
#include "app/simbench/SimKindWirelessController.h"
#include "sim/SimWirelessController.h"

#include <gtest/gtest.h>

namespace {

// The targets of AText as "index:pid:hw:fw:mode:valid" each, or the error.
std::string Describe(const std::string& AText) {
    TSimDeviceOptions options;
    std::string error;
    if (!ParseSimDevice(AText, TSimKinds::BuiltIn(), options, error))
        return error;
    auto state = WirelessStateFor(options, error);
    std::string text = std::to_string(state->ProductId) + "/" + std::to_string(state->VersionHW) + "/" +
                       std::to_string(state->VersionFW);
    // Appended piece by piece: a text literal joined to a temporary string trips a false overlap
    // warning of the optimiser.
    for (const auto& t : state->Targets) {
        text.append(" ").append(std::to_string(t.Index)).append(":").append(std::to_string(t.ProductId));
        text.append(":").append(std::to_string(t.VersionHW)).append(":");
        text.append(t.FlashValid ? std::to_string(t.VersionFW) : "none");
        text.append(t.Stub ? ":stub" : "").append(t.Silent || t.AppearAfterMs ? ":late" : "");
        if (t.SilentAtBlock)
            text.append(":silent@").append(std::to_string(t.SilentAtBlock));
        text.append(t.BackAfterMs ? ":back" : "").append(t.Locked ? ":locked" : "");
    }
    return text;
}

} // namespace

TEST(SimKindWirelessController, TargetsFromTheirTexts) {
    const std::pair<std::string, std::string> cases[] = {
        {"wireless-controller", "14/2/6 1:12:3:12"},
        {"wireless-controller,targets=0", "14/2/6"},
        {"wireless-controller,pid=0x22,hw=4,fw=10,t16=20:1:7:locked", "34/4/10 16:20:1:7:locked"},
        {"wireless-controller,t1=12:3:none,t2=12:3:11:stub,t3=12:3:12",
         "14/2/6 1:12:3:none:stub 2:12:3:11:stub "
         "3:12:3:12"},
        {"wireless-controller,t4=12:3:11:silent-at-block=100:back-after-ms=50:appear-after-ms=5",
         "14/2/6 4:12:3:11:late:silent@100:back"},
        {"wireless-controller,t17=12:3:11", "unknown name \"t17\" for device kind wireless-controller"},
        {"wireless-controller,targets=0,t1=12:3:12", "targets=0 and tN= cannot be given together"},
        {"wireless-controller,targets=2", "bad value \"2\" for targets= (expected 0, an empty radio)"},
        {"wireless-controller,pid=5", "bad value \"5\" for pid= (expected 14 or 0x22)"},
        {"wireless-controller,t1=12:3:x",
         "bad value \"12:3:x\" for t1= (expected PID:HW:FW[:OPTION]..., FW a "
         "number or none)"},
        {"wireless-controller,t1=12:3:4:silent-after=never",
         "t1=: bad option \"silent-after=never\" (expected switch, erase, synchro, validate or reconnect)"},
        {"wireless-controller,t1=12:3:4:silent-at-block=7137",
         "t1=: bad option \"silent-at-block=7137\" (expected a block number 1-7136)"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(expected, Describe(text)) << text;
}
