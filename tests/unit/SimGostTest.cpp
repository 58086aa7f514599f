// The simulated bootloader's own cipher against the images the build carries: every built-in image
// deciphers under the demo key and table into a main memory whose authentication code and identity
// words match, so simulated bootloaders accept the built-in collection.
#include "sim/SimGost.h"
#include "MyLib/KelvoFirmware.h"
#include "platform/LittleEndian.h"
#include "sim/DemoKeys.h"
#include "sim/SimBootloader.h"

#include <gtest/gtest.h>

TEST(SimGost, DecipherUndoesEncipherAcrossSplitCalls) {
    const TSimGost cipher(DemoKeyBytes.data(), DemoTableBytes.data());
    std::vector<uint8_t> plain(64);
    for (std::size_t i = 0; i < plain.size(); ++i)
        plain[i] = uint8_t(i * 37 + 11);
    std::vector<uint8_t> whole(64), split(64), back(64);
    uint8_t chainA[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t chainB[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    cipher.Encipher(plain.data(), whole.data(), 64, chainA);
    cipher.Encipher(plain.data(), split.data(), 24, chainB);
    cipher.Encipher(plain.data() + 24, split.data() + 24, 40, chainB);
    EXPECT_EQ(whole, split);
    EXPECT_NE(plain, whole);
    uint8_t chainC[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    cipher.Decipher(whole.data(), back.data(), 8, chainC);
    cipher.Decipher(whole.data() + 8, back.data() + 8, 56, chainC);
    EXPECT_EQ(plain, back);
    // The chaining value after a stream is its last enciphered block.
    EXPECT_TRUE(std::equal(chainC, chainC + 8, whole.end() - 8));
}

TEST(SimGost, AcceptsEveryBuiltInImage) {
    TKelvoUsbFirmwareCollection set(nullptr);
    set.LoadFromResourceName("FWCOLLECTION");
    ASSERT_GT(set.Count(), 0);
    const TSimGost cipher(DemoKeyBytes.data(), DemoTableBytes.data());
    for (int i = 0; i < set.Count(); ++i) {
        const TKelvoUsbFirmware& fw = *set.Firmwares(i);
        SCOPED_TRACE(fw.Name());
        const auto* bin = reinterpret_cast<const uint8_t*>(fw.Bin());
        uint8_t chain[8];
        std::copy(bin, bin + 8, chain);
        std::vector<uint8_t> plain(SIM_IMAGE_SIZE);
        cipher.Decipher(bin + 8, plain.data(), plain.size(), chain);
        EXPECT_TRUE(SimImageAuthentic(plain));
        EXPECT_EQ(fw.ProductID(), GetLE16(plain.data() + SIM_IMAGE_PRODUCT_ID));
        EXPECT_EQ(fw.VersionFW(), GetLE16(plain.data() + SIM_IMAGE_FIRMWARE_VERSION));
        EXPECT_EQ(fw.CPU(), SimProcessorOf(fw.ProductID(), fw.VersionHW()));
    }
}

TEST(SimGost, APlainImageIsAuthenticUntilOneByteChanges) {
    auto image = SimPlainImage(32, 2, 10, 147);
    ASSERT_EQ(SIM_IMAGE_SIZE, image.size());
    EXPECT_TRUE(SimImageAuthentic(image));
    EXPECT_EQ(10, GetLE16(image.data() + SIM_IMAGE_FIRMWARE_VERSION));
    EXPECT_EQ(32, GetLE16(image.data() + SIM_IMAGE_PRODUCT_ID));
    const std::string marker = "@FWID@P20&H2&FA&CMSP430F147";
    EXPECT_NE(std::search(image.begin(), image.end(), marker.begin(), marker.end()), image.end());
    for (std::size_t at :
         {std::size_t(0), std::size_t(0x4000), SIM_IMAGE_FIRMWARE_VERSION, SIM_IMAGE_MAC + 7}) {
        auto broken = image;
        broken[at] ^= 0x80;
        EXPECT_FALSE(SimImageAuthentic(broken)) << at;
    }
    EXPECT_FALSE(SimImageAuthentic(std::vector<uint8_t>(SIM_IMAGE_SIZE - 8, 0xFF)));
}
