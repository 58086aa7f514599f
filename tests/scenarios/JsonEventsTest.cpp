// The objects of kelvo-fwupd-cli --json as the window's observer writes them.
#include "app/console/JsonEvents.h"
#include "tests/scenarios/FormHarness.h"
#include "tests/support/TextLines.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace {

const TUpdateSubject Device{"32-1-2-3-4-5-6-7", {}};
const TUpdateSubject Target{"12-3-0-0-0-0-0-2", 2};

} // namespace

TEST(JsonEvents, EachEventIsOneObjectOnItsOwnLine) {
    struct TCase {
        const char* fWhat;
        std::function<void(TJsonEvents&)> fTell;
        const char* fLine;
    };
    const TCase cases[] = {
        {"a log line", [](TJsonEvents& AEvents) { AEvents.Logged("Click \"Update\"\tnow"); },
         R"({"event":"log","text":"Click \"Update\"\tnow"})"},
        {"a device",
         [](TJsonEvents& AEvents) {
             AEvents.DeviceFound({"\\\\?\\usb#sim1", "optical-sensor", Device.fSerial, 32, 2, 9, false});
         },
         R"({"event":"device","path":"\\\\?\\usb#sim1","kind":"optical-sensor","serial":"32-1-2-3-4-5-6-7",)"
         R"("productId":32,"hardwareVersion":2,"firmwareVersion":9,"locked":false,"bootloader":false})"},
        {"a bootloader whose serial number is unknown",
         [](TJsonEvents& AEvents) {
             AEvents.DeviceFound({"p", "bootloader", "", 32, 2, {}, {}});
         },
         R"({"event":"device","path":"p","kind":"bootloader","serial":null,"productId":32,"hardwareVersion":2,)"
         R"("firmwareVersion":null,"locked":null,"bootloader":true})"},
        {"a target in its bootloader with no firmware",
         [](TJsonEvents& AEvents) {
             AEvents.TargetFound({"wireless-controller", 2, Target.fSerial, 12, 3, {}, true});
         },
         R"({"event":"target","controller":"wireless-controller","index":2,"serial":"12-3-0-0-0-0-0-2",)"
         R"("productId":12,"hardwareVersion":3,"firmwareVersion":null,"bootloader":true})"},
        {"a downloaded offer for a target", [](TJsonEvents& AEvents) { AEvents.Offered(Target, 13, true); },
         R"({"event":"offer","serial":"12-3-0-0-0-0-0-2","target":2,"version":13,"source":"downloaded"})"},
        {"a built-in offer for a device", [](TJsonEvents& AEvents) { AEvents.Offered(Device, 10, false); },
         R"({"event":"offer","serial":"32-1-2-3-4-5-6-7","version":10,"source":"built-in"})"},
        {"a stage",
         [](TJsonEvents& AEvents) { AEvents.StageBegun(Device, TUpdateStage::ParametersRestored); },
         R"({"event":"stage","serial":"32-1-2-3-4-5-6-7","stage":"parameters-restored"})"},
        {"updated: no reason",
         [](TJsonEvents& AEvents) {
             AEvents.Ended(Device, TUpdateOutcome::Updated, TFailReason::None, std::nullopt);
         },
         R"({"event":"end","serial":"32-1-2-3-4-5-6-7","outcome":"updated"})"},
        {"failed with no device named",
         [](TJsonEvents& AEvents) {
             AEvents.Ended({}, TUpdateOutcome::Failed, TFailReason::Open, std::nullopt);
         },
         R"({"event":"end","serial":null,"outcome":"failed","reason":"open"})"},
        {"unfinished at a journal step, for no known reason",
         [](TJsonEvents& AEvents) {
             AEvents.Ended(Device, TUpdateOutcome::Unfinished, TFailReason::None,
                           TUpdateStep::SwitchRequested);
         },
         R"({"event":"end","serial":"32-1-2-3-4-5-6-7","outcome":"unfinished","reason":null,)"
         R"("step":"switch-requested"})"},
        {"a target gone mid-flash",
         [](TJsonEvents& AEvents) {
             AEvents.Ended(Target, TUpdateOutcome::Unfinished, TFailReason::Gone, std::nullopt);
         },
         R"({"event":"end","serial":"12-3-0-0-0-0-0-2","target":2,"outcome":"unfinished","reason":"gone"})"},
        {"the summary", [](TJsonEvents& AEvents) { AEvents.Summarised(7, 0, 1); },
         R"({"event":"summary","updated":7,"failed":0,"unfinished":1})"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.fWhat);
        TCapture out;
        TJsonEvents events(out.File());
        c.fTell(events);
        EXPECT_EQ(out.Text(), std::string(c.fLine) + "\n");
        EXPECT_EQ(events.OutputError(), "");
    }
}

TEST(JsonEvents, ProgressIsWrittenOncePerWholePercent) {
    struct TCase {
        const char* fWhat;
        // (subject, blocks done, blocks in all) as the flashes report them.
        std::vector<std::tuple<TUpdateSubject, uint32_t, uint32_t>> fBlocks;
        // The blocks done of each progress object written.
        std::vector<uint32_t> fWritten;
    };
    auto flash = [](const TUpdateSubject& ASubject, uint32_t AFrom, uint32_t ATo, uint32_t ATotal) {
        std::vector<std::tuple<TUpdateSubject, uint32_t, uint32_t>> blocks;
        for (uint32_t done = AFrom; done <= ATo; ++done)
            blocks.emplace_back(ASubject, done, ATotal);
        return blocks;
    };
    auto join = [](auto AFirst, const auto& ASecond) {
        AFirst.insert(AFirst.end(), ASecond.begin(), ASecond.end());
        return AFirst;
    };
    // 200 blocks, two a percent: the first block, then the first of each whole percent.
    std::vector<uint32_t> firstOfEachPercent{1};
    for (uint32_t done = 2; done <= 200; done += 2)
        firstOfEachPercent.push_back(done);
    const TCase cases[] = {
        {"fewer blocks than percents: every block", flash(Device, 1, 4, 4), {1, 2, 3, 4}},
        {"more blocks than percents: at most one a percent", flash(Device, 1, 200, 200), firstOfEachPercent},
        {"a flash begun again within its first percent shows from its start",
         join(flash(Device, 1, 1, 200), flash(Device, 1, 1, 200)),
         {1, 1}},
        {"another subject's flash shows from its start",
         join(flash(Device, 1, 1, 200), flash(Target, 1, 1, 200)),
         {1, 1}},
        {"a flash with no blocks shows nothing", {{Device, 0, 0}}, {}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.fWhat);
        TCapture out;
        TJsonEvents events(out.File());
        for (const auto& [subject, done, total] : c.fBlocks)
            events.Progressed(subject, done, total);
        std::vector<uint32_t> written;
        for (const std::string& line : Lines(out.Text())) {
            const auto at = line.find("\"done\":");
            ASSERT_NE(at, std::string::npos) << line;
            written.push_back(uint32_t(std::stoul(line.substr(at + 7))));
        }
        EXPECT_EQ(written, c.fWritten);
    }
}

TEST(JsonEvents, AFailedWriteIsKeptAndNothingMoreIsWritten) {
    // A stream opened for reading refuses every write, as a closed pipe or a full disk does.
    TTempDir data;
    const std::string file = data.Path() + "/events";
    std::fclose(std::fopen(file.c_str(), "w"));
    std::FILE* readOnly = std::fopen(file.c_str(), "r");
    ASSERT_NE(readOnly, nullptr);
    TJsonEvents events(readOnly);
    events.Logged("Erasing flash...");
    const std::string error = events.OutputError();
    EXPECT_NE(error, "");
    // Later objects are not tried: the first cause stays.
    std::clearerr(readOnly);
    events.Summarised(1, 0, 0);
    EXPECT_EQ(events.OutputError(), error);
    EXPECT_FALSE(std::ferror(readOnly));
    std::fclose(readOnly);
    EXPECT_EQ(std::filesystem::file_size(file), 0u);
}
