#include "FirmwareSamples.h"
#include "MyLib/KelvoFirmware.h"
#include "platform/Resources.h"
#include "tests/support/DemoCipher.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

TKelvoUsbFirmware* NewImage(uint16_t APid, uint16_t AHw, uint16_t AFw, uint16_t ACpu, uint8_t ASeed = 1) {
    char marker[64];
    std::snprintf(marker, sizeof marker, "@FWID@P%X&H%X&F%X&CMSP430F%u", APid, AHw, AFw, ACpu);
    auto* fw = new TKelvoUsbFirmware;
    fw->SetMemory(*SampleMemory(0, 0, marker, 0x100, ASeed), DemoKey, DemoTable, {ASeed, 0});
    return fw;
}

// Three entries: trigger 5/4, sensor 32/2, camera 7937/5.
void Fill(TKelvoUsbFirmwareCollection& ACollection) {
    ACollection.AddFirmware(NewImage(5, 4, 9, 5508, 1));
    ACollection.AddFirmware(NewImage(32, 2, 10, 147, 2));
    ACollection.AddFirmware(NewImage(7937, 5, 35, 5528, 3));
}

std::vector<uint8_t> SavedSet(const TKelvoUsbFirmwareCollection& ACollection) {
    TScratchFile file("set");
    ACollection.SaveToFile(file.Path());
    return file.Read();
}

constexpr std::size_t SetHeaderSize = 101;
constexpr std::size_t FirstEntry = 105;

} // namespace

TEST(KelvoUsbFirmwareCollection, SaveLoadAndLookup) {
    TKelvoUsbFirmwareCollection set(nullptr);
    Fill(set);
    std::vector<uint8_t> bytes = SavedSet(set);
    EXPECT_EQ("\r\nKELVO USB firmware set file \r\n", std::string(bytes.begin() + 1, bytes.begin() + 33));
    EXPECT_EQ(0x00, bytes[81]);
    EXPECT_EQ(0xDA, bytes[82]);
    EXPECT_EQ(1, bytes[97]);
    EXPECT_EQ(3, bytes[101]);
    EXPECT_EQ(105u + 3 * 57518 + 16 + 19 + 15, bytes.size());

    TScratchFile file("set");
    file.Write(bytes);
    TKelvoUsbFirmwareCollection back(nullptr);
    back.LoadFromFile(file.Path());
    ASSERT_EQ(3, back.Count());
    EXPECT_EQ(1u, back.FileVersion());
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(back.Firmwares(i)->Valid());
        EXPECT_EQ(
            0, std::memcmp(&set.Firmwares(i)->Data(), &back.Firmwares(i)->Data(), sizeof(TMSP430Firmware)));
        EXPECT_EQ(set.Firmwares(i)->Name(), back.Firmwares(i)->Name());
    }
    EXPECT_EQ(back.Firmwares(1), back.FindById(32, 2));
    EXPECT_EQ(nullptr, back.FindById(32, 1)); // no fall-back to another hardware version
    EXPECT_EQ(back.Firmwares(2), back.FindById(7937, 5));
    EXPECT_EQ(back.Firmwares(2), back.FindByName("qv02v3_firmware"));
    EXPECT_EQ(nullptr, back.FindByName("QV02V3"));
    EXPECT_THROW(back.get_Firmware(3), std::out_of_range);
    EXPECT_THROW(back.get_Firmware(-1), std::out_of_range);
    EXPECT_EQ(bytes, SavedSet(back));
}

TEST(KelvoUsbFirmwareCollection, ReplaceKeepsCountAndPutsTheNewImageLast) {
    TKelvoUsbFirmwareCollection set(nullptr);
    Fill(set);
    TKelvoUsbFirmware* old = set.FindById(5, 4);
    TKelvoUsbFirmware* newer = NewImage(5, 4, 12, 5508, 9);
    set.RemoveFirmware(old);
    set.AddFirmware(newer);
    ASSERT_EQ(3, set.Count());
    EXPECT_EQ(newer, set.Firmwares(2));
    EXPECT_EQ(newer, set.FindById(5, 4));
    EXPECT_EQ(32, set.Firmwares(0)->ProductID());
    // An image that is not in the list is ignored and stays the caller's.
    TKelvoUsbFirmware stranger;
    set.RemoveFirmware(&stranger);
    set.RemoveFirmware(nullptr);
    EXPECT_EQ(3, set.Count());
}

TEST(KelvoUsbFirmwareCollection, OwnedByItsOwner) {
    TComponent owner(nullptr);
    auto* set = new TKelvoUsbFirmwareCollection(&owner);
    Fill(*set);
    EXPECT_EQ(1, owner.ComponentCount());
    // Destroying the owner frees the collection and its images (the sanitizer build checks for leaks).
}

TEST(KelvoUsbFirmwareCollection, SetHeaderChecks) {
    TKelvoUsbFirmwareCollection source(nullptr);
    Fill(source);
    std::vector<uint8_t> good = SavedSet(source);
    TScratchFile file("set");
    auto expectRefused = [&file](const std::vector<uint8_t>& ABytes, const char* AMessage) {
        file.Write(ABytes);
        TKelvoUsbFirmwareCollection set(nullptr);
        set.AddFirmware(NewImage(2, 2, 8, 147));
        try {
            set.LoadFromFile(file.Path());
            ADD_FAILURE() << AMessage;
        } catch (const TFirmwareException& e) {
            EXPECT_STREQ(AMessage, e.what());
        }
        EXPECT_EQ(1, set.Count()) << "a refused set header leaves the collection as it was";
    };
    // Only versions 0 and 1 exist; a newer or a negative one is refused by the header alone.
    for (uint32_t version : {2u, 0xFFFFFFFFu, 0x80000000u}) {
        std::vector<uint8_t> other = good;
        PutU32(other, 97, version);
        other.resize(FirstEntry + 10);
        expectRefused(other, "Invalid firmware collection file version");
    }
    std::vector<uint8_t> imageGuid = good;
    imageGuid[81] = 0x72;
    expectRefused(imageGuid, "Invalid firmware collection file");
    expectRefused(std::vector<uint8_t>(good.begin(), good.begin() + 50), "Invalid firmware collection file");
}

TEST(KelvoUsbFirmwareCollection, EntryCounts) {
    TKelvoUsbFirmwareCollection source(nullptr);
    Fill(source);
    std::vector<uint8_t> good = SavedSet(source);
    TScratchFile file("set");
    std::vector<uint8_t> empty(good.begin(), good.begin() + FirstEntry);
    PutU32(empty, SetHeaderSize, 0);
    file.Write(empty);
    TKelvoUsbFirmwareCollection set(nullptr);
    Fill(set);
    set.LoadFromFile(file.Path());
    EXPECT_EQ(0, set.Count()) << "a load replaces what the collection held";

    for (uint32_t count : {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 4u}) {
        std::vector<uint8_t> hostile = good;
        PutU32(hostile, SetHeaderSize, count);
        file.Write(hostile);
        TKelvoUsbFirmwareCollection target(nullptr);
        target.AddFirmware(NewImage(2, 2, 8, 147));
        try {
            target.LoadFromFile(file.Path());
            ADD_FAILURE() << count;
        } catch (const TFirmwareException& e) {
            // A count that cannot fit says how much room there is.
            const std::string expected =
                count >= 0x80000000u
                    ? "Invalid firmware collection entry count"
                    : "Invalid firmware collection entry count: " + std::to_string(count) +
                          " entries do not fit in the " + std::to_string(good.size() - SetHeaderSize - 4) +
                          " bytes left (file truncated?)";
            EXPECT_EQ(expected, e.what());
        }
        EXPECT_EQ(1, target.Count()) << count;
    }
    std::vector<uint8_t> noCount(good.begin(), good.begin() + 103);
    file.Write(noCount);
    EXPECT_THROW(set.LoadFromFile(file.Path()), TFirmwareException);
}

TEST(KelvoUsbFirmwareCollection, FailedEntryLeavesNoEmptyPlace) {
    TKelvoUsbFirmwareCollection source(nullptr);
    Fill(source);
    std::vector<uint8_t> good = SavedSet(source);
    const std::size_t second = FirstEntry + 57518 + 16; // entry 0 carries a 16-character name
    TScratchFile file("set");

    std::vector<uint8_t> badHeader = good;
    badHeader[second + 97] = 7; // entry 1 claims image format 7
    file.Write(badHeader);
    TKelvoUsbFirmwareCollection set(nullptr);
    try {
        set.LoadFromFile(file.Path());
        ADD_FAILURE();
    } catch (const TFirmwareException& e) {
        EXPECT_STREQ("Invalid file version", e.what());
    }
    ASSERT_EQ(1, set.Count());
    EXPECT_EQ(5, set.Firmwares(0)->ProductID());
    EXPECT_EQ(nullptr, set.FindById(7937, 5));

    // A truncated file cannot hold the entries its count announces: refused before any entry.
    const std::size_t third = second + 57518 + 19;
    file.Write(std::vector<uint8_t>(good.begin(), good.begin() + std::ptrdiff_t(third + 5000)));
    EXPECT_THROW(set.LoadFromFile(file.Path()), TFirmwareException);
    EXPECT_EQ(1, set.Count());

    // Through a stream that cannot tell its size, the same cuts are found entry by entry.
    auto readOneWay = [&set](const std::vector<uint8_t>& ABytes) {
        TOneWayBuffer buffer(std::vector<uint8_t>(ABytes.begin() + SetHeaderSize, ABytes.end()));
        std::istream in(&buffer);
        set.ReadFromStream(in);
    };
    // Cut inside entry 2's header: the two whole entries stay.
    EXPECT_THROW(readOneWay(std::vector<uint8_t>(good.begin(), good.begin() + std::ptrdiff_t(third + 40))),
                 TFirmwareException);
    EXPECT_EQ(2, set.Count());
    // Cut inside entry 2's record: the entry stays, invalid.
    readOneWay(std::vector<uint8_t>(good.begin(), good.begin() + std::ptrdiff_t(third + 5000)));
    ASSERT_EQ(3, set.Count());
    EXPECT_FALSE(set.Firmwares(2)->Valid());
    EXPECT_EQ("file truncated: at least 52518 bytes missing", set.Firmwares(2)->ErrorStr());
    // A hostile count ends at the first missing header instead of looping.
    std::vector<uint8_t> endless = good;
    PutU32(endless, SetHeaderSize, 0x7FFFFFFF);
    EXPECT_THROW(readOneWay(endless), TFirmwareException);
    EXPECT_EQ(3, set.Count());

    // A hostile name length in entry 1 stops the load with entry 0 in place.
    std::vector<uint8_t> hostileName = good;
    PutU32(hostileName, second + 57514, 0x7FFFFFF0);
    file.Write(hostileName);
    EXPECT_THROW(set.LoadFromFile(file.Path()), TFirmwareException);
    EXPECT_EQ(1, set.Count());

    // A corrupt entry stays in the list as invalid and loading goes on.
    std::vector<uint8_t> corrupt = good;
    corrupt[second + 101 + 500] ^= 0xFF;
    file.Write(corrupt);
    set.LoadFromFile(file.Path());
    ASSERT_EQ(3, set.Count());
    EXPECT_TRUE(set.Firmwares(0)->Valid());
    EXPECT_FALSE(set.Firmwares(1)->Valid());
    EXPECT_EQ("invalid CRC", set.Firmwares(1)->ErrorStr());
    EXPECT_TRUE(set.Firmwares(2)->Valid());
}

TEST(KelvoUsbFirmwareCollection, LoadsFromANamedResource) {
    TKelvoUsbFirmwareCollection source(nullptr);
    Fill(source);
    static const std::vector<uint8_t> blob = SavedSet(source);
    RegisterResource("TestSet", blob.data(), blob.size());
    TKelvoUsbFirmwareCollection set(nullptr);
    set.LoadFromResourceName("TESTSET");
    EXPECT_EQ(3, set.Count());

    static std::vector<uint8_t> newer = blob;
    PutU32(newer, 97, 5);
    RegisterResource("NewerSet", newer.data(), newer.size());
    try {
        set.LoadFromResourceName("NewerSet");
        ADD_FAILURE();
    } catch (const TFirmwareException& e) {
        EXPECT_STREQ("Invalid firmware collection resource version", e.what());
    }
    static std::vector<uint8_t> imageFile(blob.begin(), blob.begin() + 200);
    imageFile[81] = 0x72;
    RegisterResource("NotASet", imageFile.data(), imageFile.size());
    try {
        set.LoadFromResourceName("NotASet");
        ADD_FAILURE();
    } catch (const TFirmwareException& e) {
        EXPECT_STREQ("Invalid firmware collection resource", e.what());
    }
    EXPECT_THROW(set.LoadFromResourceName("Missing"), TFirmwareException);
    EXPECT_EQ(3, set.Count());

    // A single image from a resource: entry 1 of the set with its header.
    static std::vector<uint8_t> single(blob.begin() + FirstEntry + 57518 + 16,
                                       blob.begin() + FirstEntry + 2 * 57518 + 35);
    RegisterResource("Single", single.data(), single.size());
    TKelvoUsbFirmware fw;
    fw.LoadFromResource("single");
    EXPECT_TRUE(fw.Valid());
    EXPECT_EQ("SENSOR_147_FIRMWARE", fw.Name());
}
