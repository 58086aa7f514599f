#include "MyLib/KelvoFirmware.h"
#include "MyLib/KelvoSerials.h"
#include "platform/Resources.h"
#include "tests/support/DemoCipher.h"

#include <gtest/gtest.h>

#include <set>

namespace {

struct TRow {
    uint16_t pid, hw, fw, cpu;
    const char* name;
};

const TRow Rows[26] = {{2, 2, 8, 147, "TC_FIRMWARE"},
                       {5, 2, 8, 147, "TRIGGER_02_FIRMWARE"},
                       {5, 3, 11, 235, "TRIGGER_03_FIRMWARE"},
                       {5, 4, 9, 5508, "KTG5508_FIRMWARE"},
                       {6, 1, 8, 167, "FRAME_METAL_FIRMWARE"},
                       {10, 2, 6, 167, "PULSE_147_FIRMWARE"},
                       {11, 1, 5, 167, "FRAME_PLASTIC_FIRMWARE"},
                       {12, 1, 5, 1611, "TARGET485_FIRMWARE"},
                       {12, 3, 13, 2617, "R485AZ_2617_FIRMWARE"},
                       {12, 5, 12, 2617, "R485AZ_2617_2_FIRMWARE"},
                       {14, 2, 6, 147, "VA485_147_FIRMWARE"},
                       {14, 3, 6, 235, "VA485_235_FIRMWARE"},
                       {18, 3, 11, 2617, "BIATHLON3_FIRMWARE"},
                       {18, 4, 11, 2617, "BIATHLON4_FIRMWARE"},
                       {19, 3, 10, 235, "PULSE_POLAR_235_FIRMWARE"},
                       {23, 2, 3, 235, "RQTH_FIRMWARE"},
                       {32, 2, 10, 147, "SENSOR_147_FIRMWARE"},
                       {32, 3, 10, 235, "SENSOR_235_FIRMWARE"},
                       {34, 4, 12, 5508, "RI5508_FIRMWARE"},
                       {35, 5, 11, 5522, "LP02_FIRMWARE"},
                       {48, 2, 4, 5528, "DNXXXE_FIRMWARE"},
                       {7937, 1, 35, 5528, "QV01_FIRMWARE"},
                       {7937, 2, 35, 5528, "QV02_FIRMWARE"},
                       {7937, 3, 35, 5528, "QV02V2_FIRMWARE"},
                       {7937, 4, 35, 5528, "QV02V1_FIRMWARE"},
                       {7937, 5, 35, 5528, "QV02V3_FIRMWARE"}};

} // namespace

TEST(BuiltinCollection, HoldsTheTwentySixImages) {
    TKelvoUsbFirmwareCollection set(nullptr);
    set.LoadFromResourceName("FWCOLLECTION");
    ASSERT_EQ(26, set.Count());
    EXPECT_EQ(1u, set.FileVersion());
    std::set<std::pair<uint16_t, uint16_t>> pairs;
    for (int i = 0; i < 26; ++i) {
        const TKelvoUsbFirmware& fw = *set.Firmwares(i);
        const TRow& row = Rows[i];
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(fw.Valid()) << fw.ErrorStr();
        EXPECT_EQ(2, fw.FileVersion());
        EXPECT_EQ(row.pid, fw.ProductID());
        EXPECT_EQ(row.hw, fw.VersionHW());
        EXPECT_EQ(row.fw, fw.VersionFW());
        EXPECT_EQ(row.cpu, fw.CPU());
        EXPECT_EQ("MSP430F" + std::to_string(row.cpu), fw.CPUStr());
        EXPECT_EQ(row.name, fw.Name());
        EXPECT_EQ("", fw.Description());
        EXPECT_EQ(0x1100u, fw.MemoryStart());
        EXPECT_EQ(0xEFFFu, fw.MemoryEnd());
        TGUID guid;
        ProductIdToGuid(row.pid, guid);
        EXPECT_EQ(guid, fw.DeviceGUID());
        pairs.insert({row.pid, row.hw});
    }
    EXPECT_EQ(26u, pairs.size());
    EXPECT_EQ("SENSOR_235_FIRMWARE", set.FindById(32, 3)->Name());
    EXPECT_EQ(nullptr, set.FindById(32, 1));
    EXPECT_EQ("QV02V3_FIRMWARE", set.FindById(7937, 5)->Name());
}

TEST(BuiltinCollection, ReadingEndsAtTheLastByte) {
    TResourceBlob blob;
    ASSERT_TRUE(FindResource("FWCOLLECTION", blob));
    EXPECT_EQ(1496019u, blob.Size);
    TMemoryReadStream in(blob.Data, blob.Size);
    in.seekg(101);
    TKelvoUsbFirmwareCollection set(nullptr);
    set.ReadFromStream(in);
    EXPECT_EQ(std::streampos(1496019), in.tellg());
    EXPECT_EQ(std::char_traits<char>::eof(), in.peek());
}

// What a simulated bootloader does with an entry: decipher with the demo key and table and find the
// identity words and a matching authentication code.
TEST(BuiltinCollection, EntriesDecipherWithTheDemoKey) {
    TKelvoUsbFirmwareCollection set(nullptr);
    set.LoadFromResourceName("FWCOLLECTION");
    std::set<uint64_t> synchros;
    TGOSTCrypt cipher;
    cipher.K = DemoKey;
    cipher.SetTable(DemoTable);
    for (int i = 0; i < set.Count(); ++i) {
        const TMSP430CryptedBinaryChecked* bin = set.Firmwares(i)->Bin();
        TGOSTDataBlock sync = bin->SynchroPacket;
        synchros.insert(uint64_t(sync.N1) | uint64_t(sync.N2) << 32);
        TMSP430MainMemory plain;
        cipher.Decrypt(&bin->Main, &plain, sizeof plain, &sync);
        EXPECT_EQ(set.Firmwares(i)->ProductID(), uint16_t(plain.wFirmwareHwId));
        EXPECT_EQ(set.Firmwares(i)->VersionFW(), uint16_t(plain.wFirmwareVersion));
        TGOSTDataBlock imito;
        cipher.Imito(&plain, MainMemoryCheckedSize, imito);
        EXPECT_EQ(plain.aImito, imito) << i;
    }
    EXPECT_EQ(26u, synchros.size());
}
