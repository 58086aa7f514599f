// Hexadecimal text of byte blocks, as settings files and device texts carry them.
#include "platform/HexText.h"

#include <gtest/gtest.h>

TEST(HexText, BlocksGoOutUpperCaseAndComeBackFromEitherCase) {
    const std::vector<uint8_t> bytes = {0x00, 0x0F, 0xA5, 0xFF, 0x10};
    EXPECT_EQ(BytesToHex(bytes.data(), bytes.size()), "000FA5FF10");
    EXPECT_EQ(HexToBytes("000FA5FF10"), bytes);
    EXPECT_EQ(HexToBytes("000fa5Ff10"), bytes);
    EXPECT_EQ(HexToBytes(""), std::vector<uint8_t>());
    EXPECT_EQ(BytesToHex(nullptr, 0), "");
}

TEST(HexText, AnythingButPairsOfDigitsIsRefused) {
    for (const char* text : {"0", "ABC", "0G", "G0", "12 34", "0x12", "1-", "\xC3\xA9"})
        EXPECT_FALSE(HexToBytes(text).has_value()) << text;
    EXPECT_EQ(HexDigitValue('f'), 15);
    EXPECT_EQ(HexDigitValue('/'), -1);
    EXPECT_EQ(HexDigitValue(':'), -1);
    EXPECT_EQ(HexDigitValue('@'), -1);
    EXPECT_EQ(HexDigitValue('`'), -1);
}
