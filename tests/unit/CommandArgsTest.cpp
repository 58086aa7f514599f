// The one command-line parser and number reader of every program: what each accepts, and the one
// line each refusal gives.
#include "platform/CommandArgs.h"
#include "platform/NumberText.h"

#include <gtest/gtest.h>

namespace {

const TOptionSpec Spec{.fValueOptions = {"--port", "--simulate"},
                       .fFlags = {"--help", "--json"},
                       .fRepeatable = {"--simulate"},
                       .fAliases = {{"-h", "--help"}, {"-p", "--port"}},
                       .fWords = true};

} // namespace

TEST(CommandArgs, AcceptedLinesGiveTheirOptionsInOrder) {
    const TParsedArgs parsed =
        ParseArgs("cmd", {"--port=3240", "-1.5,2", "--simulate", "a", "-h", "-3", "--simulate=b", "x"}, Spec);
    EXPECT_EQ(parsed.fValues.at("--port"), "3240");
    EXPECT_EQ(parsed.fValues.at("--simulate"), "b");
    EXPECT_TRUE(parsed.Has("--help"));
    EXPECT_FALSE(parsed.Has("--json"));
    EXPECT_EQ(parsed.fWords, (TArgs{"-1.5,2", "-3", "x"}));
    const std::vector<std::pair<std::string, std::string>> order = {
        {"--port", "3240"}, {"--simulate", "a"}, {"--help", ""}, {"--simulate", "b"}};
    EXPECT_EQ(parsed.fInOrder, order);
}

TEST(CommandArgs, RefusedLinesSayWhy) {
    const struct {
        TArgs fArgs;
        std::string fContext;
        std::string fError;
    } cases[] = {
        {{"--port"}, "cmd", "cmd: --port needs a value"},
        {{"--json=1"}, "", "--json takes no value"},
        {{"--frobnicate"}, "", "unknown option --frobnicate"},
        {{"-p", "1", "--port=2"}, "", "--port is given twice"},
        {{"--json", "--json"}, "record", "record: --json is given twice"},
        {{"-x=1"}, "", "unknown option -x=1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fError);
        try {
            ParseArgs(c.fContext, c.fArgs, Spec);
            ADD_FAILURE() << "accepted";
        } catch (const TUsageError& e) {
            EXPECT_EQ(e.what(), c.fError);
        }
    }
    // A program that takes no words names a stray one as an unknown option.
    TOptionSpec noWords = Spec;
    noWords.fWords = false;
    EXPECT_THROW(ParseArgs("", {"extra"}, noWords), TUsageError);
}

TEST(NumberText, WholeNumbersAreDecimalOrHexadecimal) {
    const struct {
        const char* fText;
        uint32_t fMax;
        std::optional<uint32_t> fValue;
    } cases[] = {
        {"0", 10, 0},
        {"10", 10, 10},
        {"11", 10, std::nullopt},
        {"0x1209", 0xFFFF, 0x1209},
        {"0XfF", 255, 255},
        {"0x", 10, std::nullopt},
        {"", 10, std::nullopt},
        {"-1", 10, std::nullopt},
        {"+1", 10, std::nullopt},
        {"1 ", 10, std::nullopt},
        {"1.0", 10, std::nullopt},
        {"4294967295", UINT32_MAX, UINT32_MAX},
        {"4294967296", UINT32_MAX, std::nullopt},
        {"99999999999999999999", UINT32_MAX, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fText);
        EXPECT_EQ(ParseNumber(c.fText, c.fMax), c.fValue);
    }
}

TEST(NumberText, RealNumbersStayInTheirRange) {
    EXPECT_EQ(ParseReal("-1.5", -2, 2), -1.5);
    EXPECT_EQ(ParseReal("1e3", 0, 1000), 1000.0);
    for (const char* text : {"", "nan", "inf", "-inf", "2.5", "1,5", "0x10", " 1"})
        EXPECT_EQ(ParseReal(text, -2, 2), std::nullopt) << text;
}
