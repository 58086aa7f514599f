// The window's choice between the collection's image and a downloaded one, and the built-in
// collection at start-up.
#include "platform/Resources.h"
#include "tests/scenarios/FormHarness.h"
#include "tests/threads/ImageFiles.h"
#include "tests/threads/TestHttpServer.h"

#include <gtest/gtest.h>

namespace {

struct TSelectFixture : ::testing::Test {
    TTestHttpServer fServer;
    TFormBench fBench;
    TForm1& fForm = fBench.fForm;

    void SetUp() override {
        fForm.fFirmwareServer = fServer.Url("/downloads/fw/");
        fForm.FormCreate();
        ASSERT_NE(fForm.fFirmwares, nullptr);
        // The collection as the tests fill it, whatever the built-in one holds.
        while (fForm.fFirmwares->Count() > 0)
            fForm.fFirmwares->RemoveFirmware(fForm.fFirmwares->get_Firmware(0));
    }

    TKelvoUsbFirmware* AddEntry(uint16_t APid, uint16_t AHw, uint16_t AFw) {
        TKelvoUsbFirmware* entry = MakeImage(APid, AHw, AFw).release();
        fForm.fFirmwares->AddFirmware(entry);
        return entry;
    }
    void Publish(uint16_t APid, uint16_t AHw, const std::vector<uint8_t>& AFile) {
        fServer.Route("/downloads/fw/" + TKelvoUsbFirmware::DownloadFileName(APid, AHw), AFile);
    }
};

} // namespace

TEST_F(TSelectFixture, NeitherImageGivesNone) {
    AddEntry(5, 4, 9);
    EXPECT_EQ(fForm.SelectFirmware(32, 2), nullptr);
    // Every selection asks the server.
    EXPECT_EQ(fServer.Requests(), std::vector<std::string>({"/downloads/fw/pid0020hw0002.kelvousbfw"}));
}

TEST_F(TSelectFixture, TheWindowsOwnServerIsAsked) {
    TTestHttpServer mirror;
    mirror.Route("/mirror/" + TKelvoUsbFirmware::DownloadFileName(32, 2), ImageFile(32, 2, 12));
    fForm.fFirmwareServer = mirror.Url("/mirror/");
    TKelvoUsbFirmware* chosen = fForm.SelectFirmware(32, 2);
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(chosen->VersionFW(), 12);
    EXPECT_TRUE(fServer.Requests().empty());
}

TEST_F(TSelectFixture, OnlyTheCollectionsEntry) {
    TKelvoUsbFirmware* entry = AddEntry(32, 2, 10);
    Publish(32, 2, {'<', 'h', 't', 'm', 'l', '>'});
    EXPECT_EQ(fForm.SelectFirmware(32, 2), entry);
    EXPECT_EQ(fForm.fFirmwares->Count(), 1);
}

TEST_F(TSelectFixture, OnlyADownloadIsReturnedButNotAdded) {
    Publish(32, 2, ImageFile(32, 2, 12));
    TKelvoUsbFirmware* first = fForm.SelectFirmware(32, 2);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->VersionFW(), 12);
    EXPECT_EQ(fForm.fFirmwares->Count(), 0);
    // Downloading the same image again gives the one already held.
    EXPECT_EQ(fForm.SelectFirmware(32, 2), first);
    // A different image is a new object; the first stays usable.
    Publish(32, 2, ImageFile(32, 2, 13));
    TKelvoUsbFirmware* second = fForm.SelectFirmware(32, 2);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(second->VersionFW(), 13);
    EXPECT_EQ(first->VersionFW(), 12);
}

TEST_F(TSelectFixture, ANewerDownloadReplacesTheEntry) {
    AddEntry(5, 4, 9);
    TKelvoUsbFirmware* entry = AddEntry(32, 2, 10);
    AddEntry(7937, 5, 35);
    Publish(32, 2, ImageFile(32, 2, 11));
    TKelvoUsbFirmware* chosen = fForm.SelectFirmware(32, 2);
    ASSERT_NE(chosen, nullptr);
    EXPECT_NE(chosen, entry);
    EXPECT_EQ(chosen->VersionFW(), 11);
    // Same count, the new image last, found by later lookups.
    ASSERT_EQ(fForm.fFirmwares->Count(), 3);
    EXPECT_EQ(fForm.fFirmwares->get_Firmware(2), chosen);
    EXPECT_EQ(fForm.fFirmwares->FindById(32, 2), chosen);
    // The same download again is discarded: the collection's image is now as new.
    EXPECT_EQ(fForm.SelectFirmware(32, 2), chosen);
    EXPECT_EQ(fForm.fFirmwares->Count(), 3);
}

TEST_F(TSelectFixture, AnEqualOrOlderDownloadKeepsTheEntry) {
    TKelvoUsbFirmware* entry = AddEntry(32, 2, 10);
    Publish(32, 2, ImageFile(32, 2, 10, 7));
    EXPECT_EQ(fForm.SelectFirmware(32, 2), entry);
    Publish(32, 2, ImageFile(32, 2, 9));
    EXPECT_EQ(fForm.SelectFirmware(32, 2), entry);
    EXPECT_EQ(fForm.fFirmwares->Count(), 1);
    EXPECT_EQ(fForm.fFirmwares->get_Firmware(0), entry);
}

TEST_F(TSelectFixture, ADownloadForAnotherDeviceIsNeverChosen) {
    TKelvoUsbFirmware* entry = AddEntry(32, 2, 10);
    Publish(32, 2, ImageFile(35, 2, 50));
    EXPECT_EQ(fForm.SelectFirmware(32, 2), entry);
    EXPECT_EQ(fForm.fFirmwares->FindById(32, 2), entry);
    Publish(7937, 5, ImageFile(7937, 3, 50));
    EXPECT_EQ(fForm.SelectFirmware(7937, 5), nullptr);
}

TEST(FormStartUp, ADamagedBuiltInCollectionDoesNotStopStartUp) {
    static const uint8_t garbage[] = {'n', 'o', 't', ' ', 'a', ' ', 's', 'e', 't'};
    TResourceBlob original;
    const bool hadOriginal = FindResource("FWCOLLECTION", original);
    for (const auto& [data, size] : {std::pair<const void*, size_t>{garbage, 0},
                                     std::pair<const void*, size_t>{garbage, sizeof garbage}}) {
        RegisterResource("FWCOLLECTION", data, size);
        TFormBench bench;
        bench.fForm.FormCreate();
        EXPECT_FALSE(bench.fForm.Terminating());
        EXPECT_EQ(bench.fOut.Text(), "Plug in device to update\n");
        ASSERT_NE(bench.fForm.fFirmwares, nullptr);
        EXPECT_EQ(bench.fForm.fFirmwares->Count(), 0);
    }
    // A set whose second entry is damaged keeps the first.
    TKelvoUsbFirmwareCollection set(nullptr);
    auto first = MakeImage(5, 4, 9);
    const size_t secondHeader = sizeof(TFirmwareFileHeader) + 4 + ImageFile(*first).size();
    set.AddFirmware(first.release());
    set.AddFirmware(MakeImage(32, 2, 10).release());
    std::ostringstream out;
    TFirmwareFileHeader header;
    TKelvoUsbFirmware::FillFileHeader(header);
    header.SetGuid(FirmwareSetFileGuid);
    header.Version = 1;
    out.write(reinterpret_cast<const char*>(&header), sizeof header);
    set.WriteToStream(out);
    static std::string bytes;
    bytes = out.str();
    bytes[secondHeader + 81] ^= 0xFF; // the entry's header GUID
    RegisterResource("FWCOLLECTION", bytes.data(), bytes.size());
    {
        TFormBench bench;
        bench.fForm.FormCreate();
        EXPECT_EQ(bench.fOut.Text(), "Plug in device to update\n");
        EXPECT_NE(bench.fForm.fFirmwares->FindById(5, 4), nullptr);
    }
    if (hadOriginal)
        RegisterResource("FWCOLLECTION", original.Data, original.Size);
}
