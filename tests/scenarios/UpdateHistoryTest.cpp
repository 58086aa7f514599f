// The update history: its JSON lines, the file that survives a torn last line and stays within its
// limit, and the records the window writes as simulated updates end.
#include "app/UpdateHistory.h"
#include "app/JsonLine.h"
#include "sim/SimPhysicalDevice.h"
#include "tests/scenarios/ConnectBench.h"

#include <fstream>
#include <regex>

namespace {

TUpdateRecord Record(const std::string& ASerial, const std::string& AOutcome = "updated") {
    TUpdateRecord record;
    record.fTime = "2026-12-11T08:05:09Z";
    record.fKind = "KELVO USB optical sensor";
    record.fProductId = 32;
    record.fVersionHW = 2;
    record.fSerial = ASerial;
    record.fFirmwareBefore = 9;
    record.fFirmwareAfter = 10;
    record.fSource = "built-in";
    record.fOutcome = AOutcome;
    record.fDurationMs = 1234;
    return record;
}

std::vector<std::string> Serials(const std::vector<TUpdateRecord>& ARecords) {
    std::vector<std::string> serials;
    for (const TUpdateRecord& record : ARecords)
        serials.push_back(record.fSerial);
    return serials;
}

// The records the window wrote, with no line skipped.
std::vector<TUpdateRecord> Written(TConnectBench& ABench) {
    std::vector<std::string> warnings;
    auto records = TUpdateHistory(ABench.fUserFolder + "/" + UpdateHistoryFileName).Read(warnings);
    EXPECT_EQ(warnings, std::vector<std::string>());
    return records;
}

} // namespace

TEST(JsonLine, TextsComeBackAsTheyWentIn) {
    for (const std::string& text : {std::string(""), std::string("plain"), std::string("say \"hi\" \\ there"),
                                    std::string("tab\tnew\nline\rbell\x07"), std::string("\x01\x1f"),
                                    std::string("\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80")}) {
        SCOPED_TRACE(text);
        const std::string line = TJsonLine().AddText("t", text).Text();
        // No raw control character survives into the line.
        EXPECT_EQ(std::find_if(line.begin(), line.end(), [](char c) { return (unsigned char)c < 0x20; }),
                  line.end());
        const auto members = ParseJsonLine(line);
        ASSERT_TRUE(members);
        EXPECT_EQ(members->at("t").fText, text);
    }
}

TEST(JsonLine, ReadsFlatObjectsOnly) {
    struct TCase {
        const char* fLine;
        bool fValid;
    };
    for (const TCase& c :
         {TCase{R"({"a":1,"b":-20,"c":"x","d":true,"e":false,"f":null})", true},
          TCase{R"(  { "a" : 1 }  )", true}, TCase{"{}", true},
          TCase{R"({"a":"\u00e9\ud83d\ude00\/"})", true},
          TCase{R"({"a":9223372036854775807,"b":-9223372036854775808})", true},
          // Cut off anywhere.
          TCase{R"({"a":1,"b":"x)", false}, TCase{R"({"a":1,)", false}, TCase{R"({"a")", false},
          TCase{"", false}, TCase{"{", false},
          // Not what the writer makes.
          TCase{R"({"a":{"b":1}})", false}, TCase{R"({"a":[1]})", false}, TCase{R"({"a":1.5})", false},
          TCase{R"({"a":1e3})", false}, TCase{R"({"a":01})", false},
          TCase{R"({"a":9223372036854775808})", false}, TCase{R"({"a":"\x"})", false},
          TCase{R"({"a":"\ud83d"})", false}, TCase{R"({"a":"\ude00"})", false},
          TCase{"{\"a\":\"raw\ttab\"}", false}, TCase{R"({"a":1} {"b":2})", false},
          TCase{R"({"a":tru})", false}, TCase{R"({a:1})", false}}) {
        SCOPED_TRACE(c.fLine);
        EXPECT_EQ(ParseJsonLine(c.fLine).has_value(), c.fValid);
    }
    const auto members = ParseJsonLine(R"({"a":"\u00e9\ud83d\ude00\/","n":-20})");
    ASSERT_TRUE(members);
    EXPECT_EQ(members->at("a").fText, "\xc3\xa9\xf0\x9f\x98\x80/");
    EXPECT_EQ(members->at("n").fNumber, -20);
}

TEST(UpdateHistory, ARecordComesBackWhole) {
    TUpdateRecord unknown = Record("1-2-3-4-5-6-7-8", "unfinished");
    unknown.fKind = "odd \"kind\"\n";
    unknown.fFirmwareBefore.reset();
    unknown.fFirmwareAfter.reset();
    unknown.fSource = "";
    unknown.fResumes = 3;
    for (const TUpdateRecord& record : {Record("1-2-3-4-5-6-7-8"), unknown}) {
        const auto back = ParseUpdateRecord(UpdateRecordJson(record));
        ASSERT_TRUE(back);
        EXPECT_EQ(UpdateRecordJson(*back), UpdateRecordJson(record));
        EXPECT_EQ(back->fKind, record.fKind);
        EXPECT_EQ(back->fFirmwareBefore, record.fFirmwareBefore);
        EXPECT_EQ(back->fResumes, record.fResumes);
    }
    EXPECT_EQ(UpdateRecordJson(Record("1-2-3-4-5-6-7-8")),
              R"({"event":"history","time":"2026-12-11T08:05:09Z","kind":"KELVO USB optical sensor",)"
              R"("productId":32,"hardwareVersion":2,"serial":"1-2-3-4-5-6-7-8","firmwareBefore":9,)"
              R"("firmwareAfter":10,"source":"built-in","outcome":"updated","resumes":0,"durationMs":1234})");
    // A line of JSON that is no record, or a record with a value out of range, is none.
    for (const std::string& line :
         {std::string(R"({"event":"check"})"),
          std::regex_replace(UpdateRecordJson(Record("1")), std::regex("\"productId\":32"),
                             "\"productId\":70000"),
          std::regex_replace(UpdateRecordJson(Record("1")), std::regex("\"durationMs\":1234"),
                             "\"durationMs\":-1")})
        EXPECT_FALSE(ParseUpdateRecord(line)) << line;
}

TEST(UpdateHistory, TheTimeIsUtcInIso8601) {
    using namespace std::chrono;
    EXPECT_EQ(IsoUtcTime(system_clock::time_point()), "1970-01-01T00:00:00Z");
    EXPECT_EQ(
        IsoUtcTime(sys_days(year(2026) / 12 / 11) + hours(8) + minutes(5) + seconds(9) + milliseconds(999)),
        "2026-12-11T08:05:09Z");
    EXPECT_EQ(IsoUtcTime(sys_days(year(2024) / 2 / 29) + hours(23) + minutes(59) + seconds(59)),
              "2024-02-29T23:59:59Z");
}

TEST(UpdateHistory, ATornOrDamagedLineIsSkippedWithAWarning) {
    const std::string one = UpdateRecordJson(Record("1-1-1-1-1-1-1-1"));
    const std::string two = UpdateRecordJson(Record("2-2-2-2-2-2-2-2"));
    struct TCase {
        const char* fWhat;
        std::string fContent;
        std::vector<std::string> fSerials;
        std::vector<std::string> fWarnings;
    };
    const TCase cases[] = {
        {"whole", one + "\n" + two + "\n", {"1-1-1-1-1-1-1-1", "2-2-2-2-2-2-2-2"}, {}},
        {"torn last line",
         one + "\n" + two.substr(0, 40),
         {"1-1-1-1-1-1-1-1"},
         {"line 2: torn record skipped"}},
        // A file extended by a power loss before its data reached the disk reads as zeros.
        {"zero-filled tail",
         one + "\n" + std::string(64, '\0'),
         {"1-1-1-1-1-1-1-1"},
         {"line 2: torn record skipped"}},
        {"damaged line inside",
         "garbage\n" + two + "\n",
         {"2-2-2-2-2-2-2-2"},
         {"line 1: damaged record skipped"}},
        {"blank lines", "\n" + one + "\n\n", {"1-1-1-1-1-1-1-1"}, {}},
        {"no line end after the last record", one, {"1-1-1-1-1-1-1-1"}, {}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.fWhat);
        TTempDir dir;
        const std::string file = dir.Path() + "/history.jsonl";
        std::ofstream(file, std::ios::binary) << c.fContent;
        std::vector<std::string> warnings;
        const auto records = TUpdateHistory(file).Read(warnings);
        EXPECT_EQ(Serials(records), c.fSerials);
        std::vector<std::string> expected;
        for (const std::string& warning : c.fWarnings)
            expected.push_back(file + " " + warning);
        EXPECT_EQ(warnings, expected);
    }
}

TEST(UpdateHistory, ARecordAppendedAfterATornLineIsKept) {
    TTempDir dir;
    const std::string file = dir.Path() + "/history.jsonl";
    const std::string one = UpdateRecordJson(Record("1-1-1-1-1-1-1-1"));
    std::ofstream(file, std::ios::binary) << one << "\n" << one.substr(0, 30);
    TUpdateHistory(file).Append(Record("3-3-3-3-3-3-3-3"));
    std::vector<std::string> warnings;
    EXPECT_EQ(Serials(TUpdateHistory(file).Read(warnings)),
              (std::vector<std::string>{"1-1-1-1-1-1-1-1", "3-3-3-3-3-3-3-3"}));
    EXPECT_EQ(warnings, std::vector<std::string>{file + " line 2: damaged record skipped"});
}

TEST(UpdateHistory, TheOldestRecordsGoPastTheLimit) {
    TTempDir dir;
    const std::string file = dir.Path() + "/history.jsonl";
    const std::size_t lineSize = UpdateRecordJson(Record("100-0-0-0-0-0-0-0")).size() + 1;
    const std::size_t limit = lineSize * 10;
    const TUpdateHistory history(file, limit);
    std::vector<std::string> appended;
    for (int i = 100; i < 160; ++i) {
        appended.push_back(std::to_string(i) + "-0-0-0-0-0-0-0");
        history.Append(Record(appended.back()));
        ASSERT_LE(std::filesystem::file_size(file), limit) << i;
        std::vector<std::string> warnings;
        const auto serials = Serials(history.Read(warnings));
        EXPECT_TRUE(warnings.empty());
        // The newest records, in order, the one just appended last; never fewer than the trim keeps.
        ASSERT_FALSE(serials.empty());
        EXPECT_TRUE(std::equal(serials.rbegin(), serials.rend(), appended.rbegin())) << i;
        EXPECT_GE(serials.size(), std::min<std::size_t>(appended.size(), 7));
    }
    // A record larger than the room leaves only itself.
    TUpdateRecord large = Record("9-9-9-9-9-9-9-9");
    large.fKind = std::string(limit, 'k');
    history.Append(large);
    std::vector<std::string> warnings;
    EXPECT_EQ(Serials(history.Read(warnings)), std::vector<std::string>{"9-9-9-9-9-9-9-9"});
}

TEST(UpdateHistory, AFileThatIsNoHistoryIsRefused) {
    TTempDir dir;
    const std::string folder = dir.Path() + "/history.jsonl";
    std::filesystem::create_directory(folder);
    std::vector<std::string> warnings;
    EXPECT_ANY_THROW(TUpdateHistory(folder).Read(warnings));
    EXPECT_ANY_THROW(TUpdateHistory(folder).Append(Record("1")));
    EXPECT_TRUE(TUpdateHistory(dir.Path() + "/none.jsonl").Read(warnings).empty());
    EXPECT_TRUE(warnings.empty());
}

TEST(UpdateHistory, TheTableShowsEveryRecord) {
    TUpdateRecord unfinished = Record("1-2-3-4-5-6-7-8", "unfinished");
    unfinished.fFirmwareAfter.reset();
    unfinished.fSource = "";
    EXPECT_EQ(UpdateHistoryText({}), "no updates recorded\n");
    EXPECT_EQ(
        UpdateHistoryText({unfinished, Record("1-2-3-4-5-6-7-8")}),
        "time                  kind                      serial           product  hardware  before  after  "
        " source    outcome     resumed  took\n"
        "2026-12-11T08:05:09Z  KELVO USB optical sensor  1-2-3-4-5-6-7-8  0x0020   0x0002    0x0009  -      "
        " -         unfinished  0        1.2 s\n"
        "2026-12-11T08:05:09Z  KELVO USB optical sensor  1-2-3-4-5-6-7-8  0x0020   0x0002    0x0009  0x000A "
        " built-in  updated     0        1.2 s\n");
}

TEST(UpdateHistory, TheWindowRecordsHowEachUpdateEnded) {
    struct TCase {
        const char* fWhat;
        std::string fDevice;
        const char* fKey;
        // outcome, resumes, firmware after (0: none), source
        std::vector<std::tuple<std::string, int, int, std::string>> fRecords;
    };
    const TCase cases[] = {
        {"updated", Optical(), nullptr, {{"updated", 0, 10, "built-in"}}},
        {"wrong key",
         Optical("locked=1,key=11-12-13-14-15-16-17-18"),
         "11-12-13-14-15-16-17-19",
         {{"failed", 0, 0, ""}}},
        // Cut off mid-write: unfinished; back in its bootloader, taken up again and finished.
        {"resumed",
         Optical("unplug-at-block=100,replug-after-ms=30"),
         nullptr,
         {{"unfinished", 0, 0, "built-in"}, {"updated", 1, 10, "built-in"}}},
        {"erase refused", Optical("fail=erase"), nullptr, {{"unfinished", 0, 0, "built-in"}}},
        // Never back: unfinished once the window closes.
        {"gone after the switch", Optical("unplug-after=switch"), nullptr, {{"unfinished", 0, 0, ""}}},
        // Asked to replug after the erase: the replugged bootloader carries the update on.
        {"replug asked",
         "camera-sensor,fw=10," + std::string(Serial1Text),
         nullptr,
         {{"updated", 0, 35, "built-in"}}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.fWhat);
        TConnectBench bench;
        if (c.fKey)
            bench.fBench.fToolkit.SetInputAnswer(c.fKey);
        bench.Start();
        auto device = bench.Plug(c.fDevice);
        const TSimUnitReport before = device->Unit()->Report();
        bench.fForm.btnUpdate.Click();
        ASSERT_TRUE(bench.RunQuiet());
        if (std::string(c.fWhat) == "replug asked") {
            auto stub = device->Unit()->Personality();
            bench.Unplug(stub);
            device->Unit()->PlugInto(bench.fBench.fBus);
            ASSERT_TRUE(bench.RunQuiet());
        }
        bench.fForm.FormClose();
        const auto records = Written(bench);
        ASSERT_EQ(records.size(), c.fRecords.size());
        for (std::size_t i = 0; i < records.size(); ++i) {
            SCOPED_TRACE(i);
            const TUpdateRecord& r = records[i];
            const auto& [outcome, resumes, after, source] = c.fRecords[i];
            EXPECT_EQ(r.fOutcome, outcome);
            EXPECT_EQ(r.fResumes, resumes);
            EXPECT_EQ(r.fFirmwareAfter, after ? std::optional<uint16_t>(uint16_t(after)) : std::nullopt);
            EXPECT_EQ(r.fSource, source);
            EXPECT_EQ(r.fSerial, SerialToStr(Serial1));
            EXPECT_EQ(r.fProductId, before.ProductId);
            EXPECT_EQ(r.fVersionHW, before.VersionHW);
            EXPECT_EQ(r.fFirmwareBefore, before.VersionFW);
            EXPECT_EQ(r.fKind.rfind("KELVO ", 0), 0u) << r.fKind;
            EXPECT_EQ(r.fTime.size(), 20u);
        }
        EXPECT_EQ(bench.fForm.HistoryError(), "");
        // Nothing of the update is left in the settings file once it has ended for good.
        EXPECT_EQ(bench.Key("UpdateHistory") == "<none>", std::get<0>(c.fRecords.back()) != "unfinished");
    }
}

TEST(UpdateHistory, AnUpdateTakenUpByALaterRunCountsAResume) {
    TTempDir data;
    std::shared_ptr<TSimPhysicalDevice> unit;
    {
        TConnectBench first(data.Path());
        first.Start();
        auto device = first.Plug(Optical("unplug-after=validate"));
        unit = device->Unit();
        first.fForm.btnUpdate.Click();
        ASSERT_TRUE(first.RunQuiet());
        EXPECT_EQ(first.Step(), TUpdateStep::FlashValidated);
    }
    TConnectBench second(data.Path());
    second.Start();
    unit->PlugInto(second.fBench.fBus);
    second.Settle();
    ASSERT_TRUE(second.RunQuiet());
    EXPECT_TRUE(second.Logged().ends_with("SUCCESS! Firmware updated.\n")) << second.Logged();
    const auto records = Written(second);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].fOutcome, "unfinished");
    EXPECT_EQ(records[1].fOutcome, "updated");
    EXPECT_EQ(records[1].fResumes, 1);
    EXPECT_EQ(records[1].fFirmwareBefore, 9);
    EXPECT_EQ(records[1].fFirmwareAfter, 10);
    EXPECT_EQ(records[1].fSource, "built-in");
}
