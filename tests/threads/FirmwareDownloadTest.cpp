// TKelvoUsbFirmware::DownloadFromInternet against a local download server.
#include "tests/threads/ImageFiles.h"
#include "tests/threads/TestHttpServer.h"

#include <gtest/gtest.h>

namespace {

// Downloads from a fresh local server for one test. The default stall time stands, so a slow first
// connection under a sanitizer is not taken for a stalled server; a test that wants a stall sets a
// short one.
struct TDownloadFixture : ::testing::Test {
    TTestHttpServer fServer;
    void TearDown() override { TKelvoUsbFirmware::SetDownloadOptions({}); }
    void Serve(uint16_t APid, uint16_t AHw, std::vector<uint8_t> ABody,
               TTestHttpServer::TMode AMode = TTestHttpServer::TMode::Body) {
        fServer.Route("/downloads/fw/" + TKelvoUsbFirmware::DownloadFileName(APid, AHw), std::move(ABody),
                      AMode);
    }
    bool Download(TKelvoUsbFirmware& AImage, uint16_t APid, uint16_t AHw) {
        return AImage.DownloadFromInternet(fServer.Url("/downloads/fw/"), APid, AHw);
    }
};

} // namespace

TEST(FirmwareDownload, FileNamesAreLowerCaseHexOfProductAndHardware) {
    EXPECT_EQ(TKelvoUsbFirmware::DownloadFileName(0x0120, 0x0001), "pid0120hw0001.kelvousbfw");
    EXPECT_EQ(TKelvoUsbFirmware::DownloadFileName(32, 2), "pid0020hw0002.kelvousbfw");
    EXPECT_EQ(TKelvoUsbFirmware::DownloadFileName(7937, 3), "pid1f01hw0003.kelvousbfw");
    EXPECT_EQ(TKelvoUsbFirmware::DownloadFileName(0xFFFF, 0xABCD), "pidffffhwabcd.kelvousbfw");
}

TEST_F(TDownloadFixture, AValidImageLoads) {
    // One image, served and compared: its CRC covers the time it was made, so a second image made
    // a second later would differ.
    const auto image = MakeImage(32, 2, 0x0105);
    Serve(32, 2, ImageFile(*image));
    TKelvoUsbFirmware fw;
    ASSERT_TRUE(Download(fw, 32, 2));
    EXPECT_TRUE(fw.Valid());
    EXPECT_EQ(fw.ProductID(), 32);
    EXPECT_EQ(fw.VersionHW(), 2);
    EXPECT_EQ(fw.VersionFW(), 0x0105);
    // Copies out of the packed record, whose fields are not aligned.
    const uint32_t crc = fw.Data().CRC32;
    const uint32_t expected = image->Data().CRC32;
    EXPECT_EQ(crc, expected);
    EXPECT_EQ(fServer.Requests(), std::vector<std::string>({"/downloads/fw/pid0020hw0002.kelvousbfw"}));
}

TEST_F(TDownloadFixture, AnImageForAnotherProductStillLoads) {
    // Nothing compares the file with the request; the caller decides what to do with it.
    Serve(32, 2, ImageFile(35, 5, 7));
    TKelvoUsbFirmware fw;
    ASSERT_TRUE(Download(fw, 32, 2));
    EXPECT_EQ(fw.ProductID(), 35);
    EXPECT_EQ(fw.VersionHW(), 5);
}

TEST_F(TDownloadFixture, ABodyOfWholeReadChunksEndsCleanly) {
    std::vector<uint8_t> body = ImageFile(32, 2, 9);
    body.resize((body.size() / 10000 + 1) * 10000, 0);
    ASSERT_EQ(body.size() % 10000, 0u);
    Serve(32, 2, body);
    TKelvoUsbFirmware fw;
    EXPECT_TRUE(Download(fw, 32, 2));
    EXPECT_EQ(fw.VersionFW(), 9);
}

TEST_F(TDownloadFixture, EveryBrokenAnswerIsFalseWithoutException) {
    THttpOptions shortStall;
    shortStall.fStallSeconds = 1;
    TKelvoUsbFirmware::SetDownloadOptions(shortStall);
    const std::vector<uint8_t> good = ImageFile(32, 2, 9);
    std::vector<uint8_t> badCrc = good;
    badCrc[101 + 5000] ^= 0x01;
    std::vector<uint8_t> shortFile(good.begin(), good.begin() + 30000);
    const std::string page = "<html><body>Down for maintenance</body></html>";
    Serve(1, 1, {page.begin(), page.end()});
    Serve(1, 3, badCrc);
    Serve(1, 4, good, TTestHttpServer::TMode::Truncated);
    Serve(1, 5, good, TTestHttpServer::TMode::Stall);
    Serve(1, 6, shortFile);
    Serve(1, 7, {});
    // A valid image behind an error status is not a download.
    fServer.Route("/downloads/fw/" + TKelvoUsbFirmware::DownloadFileName(1, 8), good,
                  TTestHttpServer::TMode::Body, "404 Not Found");
    for (uint16_t hw : {1, 2, 3, 4, 5, 6, 7, 8}) { // 2: nothing there, the server answers 404
        TKelvoUsbFirmware fw;
        EXPECT_FALSE(Download(fw, 1, hw)) << "hw " << hw;
    }
}

TEST(FirmwareDownload, NoServerIsFalse) {
    TKelvoUsbFirmware fw;
    EXPECT_FALSE(fw.DownloadFromInternet(
        "http://127.0.0.1:" + std::to_string(UnusedLocalPort()) + "/downloads/fw/", 32, 2));
}
