// JSON string literals: escapes, UTF-8 kept, and bytes that are no UTF-8 taken as Latin-1.
#include "platform/JsonText.h"

#include <gtest/gtest.h>

#include <string>

TEST(JsonText, EveryTextBecomesAValidUtf8JsonString) {
    struct TCase {
        const char* fWhat;
        std::string fText;
        std::string fJson;
    };
    const TCase cases[] = {
        {"plain text", "Erasing flash...", "\"Erasing flash...\""},
        {"empty", "", "\"\""},
        {"quote and backslash", "click \"Update\" \\\\?\\usb", "\"click \\\"Update\\\" \\\\\\\\?\\\\usb\""},
        {"the named control characters", "a\nb\tc\rd\be\ff", "\"a\\nb\\tc\\rd\\be\\ff\""},
        {"other control characters and DEL", std::string("\x01\x1b[2J\x7f", 6),
         "\"\\u0001\\u001b[2J\\u007f\""},
        {"a NUL inside", std::string("a\0b", 3), "\"a\\u0000b\""},
        {"two-, three- and four-byte UTF-8", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xAF",
         "\"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xAF\""},
        {"a Latin-1 byte", "caf\xE9", "\"caf\xC3\xA9\""},
        {"a stray continuation byte", "\x80", "\"\xC2\x80\""},
        {"an overlong encoding", "\xC0\xAF", "\"\xC3\x80\xC2\xAF\""},
        {"a sequence cut off at the end", "\xE2\x82", "\"\xC3\xA2\xC2\x82\""},
        {"a sequence cut off by ASCII", "\xE2\x82x", "\"\xC3\xA2\xC2\x82x\""},
        {"a surrogate", "\xED\xA0\x80", "\"\xC3\xAD\xC2\xA0\xC2\x80\""},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", "\"\xC3\xB4\xC2\x90\xC2\x80\xC2\x80\""},
        {"the highest code point", "\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.fWhat);
        EXPECT_EQ(JsonString(c.fText), c.fJson);
    }
}
