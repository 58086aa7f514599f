#include "MyLib/KelvoSerials.h"

#include <gtest/gtest.h>

TEST(KelvoSerials, DashedTextRoundTrips) {
    TSerialNum s = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ("1-2-3-4-5-6-7-8", SerialToStr(s));
    TSerialNum back{};
    StrToSerial("1-2-3-4-5-6-7-8", back);
    EXPECT_EQ(s, back);
    EXPECT_EQ("255-255-255-255-255-255-255-255", SerialToStr(NoSerialNum));
    TSerialNum high = {200, 0, 99, 10, 100, 1, 254, 255};
    StrToSerial(SerialToStr(high), back);
    EXPECT_EQ(high, back);
}

TEST(KelvoSerials, WirelessSensorLayoutText) {
    EXPECT_EQ("WD-01-42", SerialToStr({0x2A, 0x00, 0x01, 0x57, 0, 0, 0, 0}));
    EXPECT_EQ("WD-M01-258", SerialToStr({0x02, 0x01, 0x00, 0x57, 0, 0, 0, 0}));
    EXPECT_EQ("WD-02-65535", SerialToStr({0xFF, 0xFF, 0x04, 0x57, 0, 0, 0, 0}));
    TSerialNum unknownModel = {0x2A, 0x00, 0x02, 0x57, 0, 0, 0, 0};
    EXPECT_EQ("", SerialToStr(unknownModel));
    EXPECT_TRUE(SerialValid(unknownModel));
    // One non-zero byte in 4..7 makes it an ordinary serial again.
    EXPECT_EQ("42-0-1-87-0-0-1-0", SerialToStr({0x2A, 0x00, 0x01, 0x57, 0, 0, 1, 0}));
}

TEST(KelvoSerials, LenientParsing) {
    TSerialNum v{};
    StrToSerial("1-2-3", v);
    EXPECT_EQ((TSerialNum{1, 2, 3, 0, 0, 0, 0, 0}), v);
    StrToSerial("256-1-1-1-1-1-1-1", v);
    EXPECT_EQ((TSerialNum{0, 1, 1, 1, 1, 1, 1, 1}), v);
    StrToSerial(" 7-$1F-x10-0x20-X0A-12abc-+5-9-77", v);
    EXPECT_EQ((TSerialNum{7, 0x1F, 0x10, 0x20, 0x0A, 12, 5, 9}), v);
    StrToSerial("", v);
    EXPECT_EQ((TSerialNum{}), v);
    StrToSerial("--4", v);
    EXPECT_EQ((TSerialNum{0, 0, 4, 0, 0, 0, 0, 0}), v);
    StrToSerial("99999999999999999999-1", v); // wraps, keeps going without fault
    EXPECT_EQ(1, v[1]);
    StrToSerial("WD-01-42", v); // the wireless form is not a parser input
    EXPECT_EQ((TSerialNum{0, 1, 42, 0, 0, 0, 0, 0}), v);
}

TEST(KelvoSerials, ValidityRules) {
    EXPECT_TRUE(SerialValid({1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_FALSE(SerialValid({1, 2, 3, 4, 5, 6, 7, 0}));
    EXPECT_FALSE(SerialValid({0xFF, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_FALSE(SerialValid(NoSerialNum));
    EXPECT_TRUE(KeyValid({1, 2, 3, 4, 5, 6, 7, 254}));
    EXPECT_FALSE(KeyValid(BlankDeviceKey));
    EXPECT_FALSE(KeyValid({1, 2, 3, 0, 5, 6, 7, 8}));
    // Keys have no wireless exception.
    EXPECT_FALSE(KeyValid({0x2A, 0x00, 0x01, 0x57, 0, 0, 0, 0}));
    EXPECT_TRUE(SameSerial({1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_FALSE(SameSerial({1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 4, 5, 6, 7, 9}));
}

TEST(KelvoSerials, ProductIdToGuidTable) {
    TGUID g = GUID_KELVO_QV;
    ProductIdToGuid(288, g);
    EXPECT_TRUE(IsNullGuid(g));
    ProductIdToGuid(270, g);
    EXPECT_TRUE(IsNullGuid(g));
    TGUID a, b;
    ProductIdToGuid(34, a);
    ProductIdToGuid(14, b);
    EXPECT_EQ(a, b);
    EXPECT_EQ("{8E42B302-E8EA-4AFC-994F-45F9C4F4C718}", GuidToString(a));
    const std::pair<uint16_t, const char*> rows[] = {
        {2, "{14EA0900-B960-11D7-AAEC-0090F5067976}"},  {5, "{22208D80-EAC3-11D7-AAEC-0090F5067976}"},
        {10, "{448A342C-4663-4C50-AB76-24A45DA27C03}"}, {19, "{448A342C-4663-4C50-AB76-24A45DA27C03}"},
        {16, "{16E585C9-95BE-42CB-9753-AF6574759CA5}"}, {23, "{2F60BE07-4F40-4A1A-A03E-2DDD80D0A40A}"},
        {32, "{7D318304-5D35-11D2-9420-00105A075F6B}"}, {35, "{7D318304-5D35-11D2-9420-00105A075F6B}"},
        {48, "{F5A12869-DDF8-41F2-9021-9B56BFB4A79C}"}, {7937, "{6DD29847-8B42-4AB4-AB06-4B9BF751334C}"}};
    for (auto [pid, text] : rows) {
        ProductIdToGuid(pid, g);
        EXPECT_EQ(text, GuidToString(g)) << pid;
    }
    EXPECT_EQ("{F4D2667F-49BB-478D-8B9D-9D83C4AA7A0F}", GuidToString(GUID_KELVO_USB_STUB));
}

TEST(KelvoSerials, LabelEncodings) {
    EXPECT_EQ("___/", Code128Serial(NoSerialNum).substr(7));
    EXPECT_EQ("_______"
              "_"
              "__/",
              Code128Serial(NoSerialNum));
    EXPECT_EQ(std::string("   ") + " " + "   " + " " + "   ", Code128Serial({0, 0, 0, 0, 0, 0, 0, 0}));
    // 0x41 = 01 000001: low six bits 1, top two bits 1.
    EXPECT_EQ(std::string("!!!") + char(32 + 1 + 4 + 16) + "!!!" + char(32 + 21) + "!!" + char(32 + 5),
              Code128Serial({0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41}));
    EXPECT_EQ(std::string("_") + "_" + "/", Code128Word(0xFFFF));
    EXPECT_EQ(std::string(" ") + char(32 + 1) + char(32 + 1), Code128Word(0x1040));
    EXPECT_EQ(std::string("/") + "/" + "__/", Code128ByteWord(0xFF, 0xFFFF));
    EXPECT_EQ(std::string(1, char(32 + 5)) + char(32 + 10) + "   ", Code128ByteWord(0xA5, 0));
}
