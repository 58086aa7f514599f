// The --simulate kind of the wireless controller: the radio targets its text describes, defaults,
// the sensors aimed at them, and the texts it refuses.
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
    for (const auto& sensor : state->Sensors) {
        const TSimRadioSensorReport r = sensor.Report();
        text.append(" s").append(std::to_string(r.TargetIndex)).append(":").append(r.Model);
        text.append(":").append(std::to_string(r.Serial)).append(r.Fused ? "" : ":unfused");
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
        {"wireless-controller,s1=wd-03:raw:cant=-12.5:view=40,s3=WD-M01:hostile=short:every=7",
         "14/2/6 1:12:3:12 s1:WD-03:1001 s3:WD-M01:1003"},
        {"wireless-controller,s2=wd-m02v3:serial=65534:unfused:password=x",
         "14/2/6 1:12:3:12 s2:WD-M02V3:65534:unfused"},
        {"wireless-controller,s1=wd-04",
         "s1=: bad model \"wd-04\" (expected wd-m01, wd-02, wd-03, wd-03v2, wd-05, wd-m02, wd-m02v2 or "
         "wd-m02v3)"},
        {"wireless-controller,s1=wd-m01:raw",
         "s1=: bad option \"raw\" (expected zero-coefficient, raw (WD-03 family), unfused (WD-M02V2/V3) or "
         "NAME=VALUE)"},
        {"wireless-controller,s1=wd-03:serial=0",
         "s1=: bad option \"serial=0\" (expected a serial number 1-65534)"},
        {"wireless-controller,s1=wd-03:cant=181",
         "s1=: bad option \"cant=181\" (expected degrees -180 to 180)"},
        {"wireless-controller,s1=wd-03:hostile=short", "s1=: hostile= and every= go together"},
        {"wireless-controller,s4=wd-02:every=3", "s4=: hostile= and every= go together"},
        {"wireless-controller,t1=12:3:12:serial=1-2-3-4-5-6-7-8:serial=1-2-3-4-5-6-7-9",
         "t1=: \"serial\" is given twice"},
        {"wireless-controller,t1=12:3:12:stub:stub", "t1=: \"stub\" is given twice"},
        {"wireless-controller,s1=wd-03:cant=5:cant=6", "s1=: \"cant\" is given twice"},
        {"wireless-controller,t1=12:3:12:fail=",
         "t1=: bad option \"fail=\" (expected erase, synchro, write, validate, reconnect, hwinfo or serial, "
         "joined by +)"},
        {"wireless-controller,t1=12:3:" + std::string(100, '9'),
         "bad value \"12:3:" + std::string(55, '9') +
             "...\" for t1= (expected PID:HW:FW[:OPTION]..., FW a "
             "number or none)"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(expected, Describe(text)) << text;
}
