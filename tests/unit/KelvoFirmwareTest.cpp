#include "MyLib/KelvoFirmware.h"
#include "FirmwareSamples.h"
#include "MyLib/CRC32.h"
#include "MyLib/KelvoSerials.h"
#include "tests/support/DemoCipher.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace {

const char FullMarker[] = "@FWID@P20&H2&FA&CMSP430F147";

// A valid image for product 32, hardware 2, firmware 10, saved to a file.
std::unique_ptr<TKelvoUsbFirmware> SampleImage(const std::string& AMarker = FullMarker) {
    auto fw = std::make_unique<TKelvoUsbFirmware>();
    fw->SetMemory(*SampleMemory(0x77, 0x66, AMarker), DemoKey, DemoTable,
                  TGOSTDataBlock{0x01020304, 0x05060708});
    return fw;
}

std::vector<uint8_t> Bytes(const TKelvoUsbFirmware& AFw) {
    std::ostringstream out;
    TFirmwareFileHeader h;
    TKelvoUsbFirmware::FillFileHeader(h);
    out.write(reinterpret_cast<const char*>(&h), sizeof h);
    AFw.WriteToStream(out);
    std::string s = out.str();
    return {s.begin(), s.end()};
}

constexpr std::size_t NameLengthOffset = 57514;

} // namespace

TEST(KelvoUsbFirmware, FreshObjectIsEmptyAndInvalid) {
    TKelvoUsbFirmware fw;
    EXPECT_FALSE(fw.Valid());
    EXPECT_EQ("Empty", fw.ErrorStr());
    EXPECT_TRUE(IsNullGuid(fw.DeviceGUID()));
    EXPECT_EQ("", fw.Name());
    EXPECT_NEAR(CurrentDateTime(), fw.Date(), 1.0 / 24);
    EXPECT_EQ(0, fw.ProductID());
    EXPECT_EQ(0u, fw.CRC());
}

TEST(KelvoUsbFirmware, SettersRevalidateInOrder) {
    TKelvoUsbFirmware fw;
    fw.SetProductID(32);
    EXPECT_FALSE(fw.Valid());
    EXPECT_EQ("invalid hardware version", fw.ErrorStr());
    fw.SetVersionHW(3);
    EXPECT_EQ("invalid firmware version", fw.ErrorStr());
    fw.SetVersionFW(10);
    EXPECT_EQ("invalid processor id", fw.ErrorStr());
    fw.SetCPU(148); // unknown: CPU 0, nothing else changes
    EXPECT_EQ(0, fw.CPU());
    EXPECT_EQ("invalid processor id", fw.ErrorStr());
    fw.SetCPUStr("msp430f2617");
    EXPECT_EQ(2617, fw.CPU());
    EXPECT_EQ(0x1100u, fw.MemoryStart());
    EXPECT_EQ(0xEFFFu, fw.MemoryEnd());
    ASSERT_TRUE(fw.Valid());
    EXPECT_EQ("", fw.ErrorStr());
    EXPECT_EQ("SENSOR_235_FIRMWARE", fw.Name());
    EXPECT_EQ(GUID_KELVO_SENSOR, fw.DeviceGUID());
    EXPECT_EQ(CRC32(&fw.Data().Checked, sizeof fw.Data().Checked), fw.CRC());
    // An unknown processor keeps Valid and the CRC as they were.
    uint32_t crc = fw.CRC();
    fw.SetCPU(148);
    EXPECT_EQ(0, fw.CPU());
    EXPECT_TRUE(fw.Valid());
    EXPECT_EQ(crc, fw.CRC());
    fw.SetVersionFW(0);
    EXPECT_FALSE(fw.Valid());
    EXPECT_EQ(0u, fw.CRC());
}

TEST(KelvoUsbFirmware, ProcessorNameParsing) {
    TKelvoUsbFirmware fw;
    fw.SetCPUStr("MSP430F 5529 rev B");
    EXPECT_EQ(5529, fw.CPU());
    EXPECT_EQ("MSP430F 5529 rev", fw.CPUStr()); // cut to 16 characters
    fw.SetCPUStr("MSP430F65683");               // wraps to 147 if parsed into 16 bits
    EXPECT_EQ(0, fw.CPU());
    fw.SetCPUStr("MSP430F");
    EXPECT_EQ(0, fw.CPU());
    fw.SetCPUStr("ATMEGA147");
    EXPECT_EQ(0, fw.CPU());
    fw.SetDescription(std::string(300, 'd'));
    EXPECT_EQ(std::string(255, 'd'), fw.Description());
}

TEST(KelvoUsbFirmware, FirmwareIdNames) {
    EXPECT_EQ("TC_FIRMWARE", TKelvoUsbFirmware::FirmwareIdName(2, 0));
    EXPECT_EQ("TRIGGER_02_FIRMWARE", TKelvoUsbFirmware::FirmwareIdName(5, 1));
    EXPECT_EQ("", TKelvoUsbFirmware::FirmwareIdName(5, 0));
    EXPECT_EQ("BIATHLON4_FIRMWARE", TKelvoUsbFirmware::FirmwareIdName(18, 4));
    EXPECT_EQ("", TKelvoUsbFirmware::FirmwareIdName(18, 5));
    EXPECT_EQ("VA485_235_FIRMWARE", TKelvoUsbFirmware::FirmwareIdName(270, 3));
    EXPECT_EQ("SENSOR_147_FIRMWARE", TKelvoUsbFirmware::FirmwareIdName(288, 1));
    EXPECT_EQ("FRAME_BIATHLON_NEW_FIRMARE", TKelvoUsbFirmware::FirmwareIdName(13, 9));
    EXPECT_EQ("QV02V1_FIRMWARE", TKelvoUsbFirmware::FirmwareIdName(7937, 4));
    EXPECT_EQ("", TKelvoUsbFirmware::FirmwareIdName(7937, 6));
    EXPECT_EQ("", TKelvoUsbFirmware::FirmwareIdName(99, 1));
}

TEST(KelvoUsbFirmware, MarkerCompletesTheIdentity) {
    auto fw = SampleImage();
    ASSERT_TRUE(fw->Valid()) << fw->ErrorStr();
    EXPECT_EQ(32, fw->ProductID());
    EXPECT_EQ(2, fw->VersionHW());
    EXPECT_EQ(10, fw->VersionFW());
    EXPECT_EQ(147, fw->CPU());
    EXPECT_EQ("MSP430F147", fw->CPUStr());
    EXPECT_EQ("SENSOR_147_FIRMWARE", fw->Name());
    EXPECT_EQ(GUID_KELVO_SENSOR, fw->DeviceGUID());
    EXPECT_EQ((TGOSTDataBlock{0x01020304, 0x05060708}), fw->Bin()->SynchroPacket);
}

TEST(KelvoUsbFirmware, MarkerVariants) {
    struct Case {
        std::string marker;
        uint16_t pid, hw, fwv, cpu;
        const char* error;
    };
    const Case cases[] = {
        // keys in any case, last of repeated keys wins, empty items ignored, trailing blanks trimmed
        {"@FWID@p5&&h1&H4&f9&c msp&cMsp430f5508 \t ", 5, 4, 9, 5508, ""},
        // an empty value removes its key: no hardware version
        {"@FWID@P20&H2&FA&CMSP430F147&H", 32, 0, 10, 147, "invalid hardware version"},
        // leading hexadecimal digits count
        {"@FWID@P1f01zz&H5&F23&CMSP430F5528", 7937, 5, 0x23, 5528, ""},
        // unknown processor
        {"@FWID@P20&H2&FA&CMSP430F148", 32, 2, 10, 0, "invalid processor id"},
        // no P item: product id 0, whatever the word said
        {"@FWID@H2&FA&CMSP430F147", 0, 2, 10, 147, "invalid product id"},
    };
    for (const auto& c : cases) {
        TKelvoUsbFirmware fw;
        fw.SetMemory(*SampleMemory(0x77, 0x66, c.marker), DemoKey, DemoTable);
        EXPECT_EQ(c.pid, fw.ProductID()) << c.marker;
        EXPECT_EQ(c.hw, fw.VersionHW()) << c.marker;
        EXPECT_EQ(c.fwv, fw.VersionFW()) << c.marker;
        EXPECT_EQ(c.cpu, fw.CPU()) << c.marker;
        EXPECT_EQ(c.error, fw.ErrorStr()) << c.marker;
        EXPECT_EQ(c.error[0] == 0, fw.Valid()) << c.marker;
    }
}

TEST(KelvoUsbFirmware, WithoutMarkerTheWordsGiveTheIdentity) {
    TKelvoUsbFirmware fw;
    fw.SetMemory(*SampleMemory(35, 11), DemoKey, DemoTable);
    EXPECT_EQ(35, fw.ProductID());
    EXPECT_EQ(11, fw.VersionFW());
    EXPECT_FALSE(fw.Valid());
    EXPECT_EQ("invalid hardware version", fw.ErrorStr());
    fw.SetVersionHW(5);
    EXPECT_EQ("invalid processor id", fw.ErrorStr());
    fw.SetCPUStr("MSP430F5522");
    EXPECT_TRUE(fw.Valid());
    EXPECT_EQ("LP02_FIRMWARE", fw.Name());

    // A marker that runs into the end of the code area without a zero byte is ignored.
    std::string marker = FullMarker;
    TKelvoUsbFirmware cut;
    cut.SetMemory(*SampleMemory(35, 11, marker, 0xDEF0 - marker.size()), DemoKey, DemoTable);
    EXPECT_EQ(35, cut.ProductID());
    EXPECT_EQ(0, cut.VersionHW());
    // The same marker one byte earlier has room for its zero byte and counts.
    TKelvoUsbFirmware fits;
    fits.SetMemory(*SampleMemory(35, 11, marker, 0xDEF0 - marker.size() - 1), DemoKey, DemoTable);
    EXPECT_EQ(32, fits.ProductID());
    EXPECT_TRUE(fits.Valid());
}

TEST(KelvoUsbFirmware, TwoBuildsDifferInSynchroButNotInAuthenticationCode) {
    auto memory = SampleMemory(0, 0, FullMarker);
    TKelvoUsbFirmware a, b;
    a.SetMemory(*memory, DemoKey, DemoTable);
    b.SetMemory(*memory, DemoKey, DemoTable);
    EXPECT_NE(a.Bin()->SynchroPacket, b.Bin()->SynchroPacket);
    EXPECT_NE(0, std::memcmp(&a.Bin()->Main, &b.Bin()->Main, sizeof(TMSP430MainMemory)));
    TGOSTCrypt c;
    c.K = DemoKey;
    c.SetTable(DemoTable);
    TMSP430MainMemory pa, pb;
    c.SY = a.Bin()->SynchroPacket;
    c.Decrypt(&a.Bin()->Main, &pa, sizeof pa);
    c.SY = b.Bin()->SynchroPacket;
    c.Decrypt(&b.Bin()->Main, &pb, sizeof pb);
    EXPECT_EQ(pa.aImito, pb.aImito);
    EXPECT_EQ(0, std::memcmp(&pa, &memory->Main, MainMemoryCheckedSize));
    // The source memory is not touched.
    EXPECT_EQ(0, std::memcmp(SampleMemory(0, 0, FullMarker).get(), memory.get(), sizeof(TMSP430Memory)));
}

TEST(KelvoUsbFirmware, SetBinaryTakesDataAsItIs) {
    TKelvoUsbFirmware fw;
    fw.SetProductID(2);
    fw.SetVersionHW(2);
    fw.SetVersionFW(8);
    fw.SetCPU(147);
    fw.SetDate(1.0);
    auto memory = SampleMemory(1, 1);
    fw.SetBinary(memory->Main, {7, 8});
    EXPECT_TRUE(fw.Valid());
    EXPECT_EQ(0, std::memcmp(&memory->Main, &fw.Bin()->Main, sizeof(TMSP430MainMemory)));
    EXPECT_EQ((TGOSTDataBlock{7, 8}), fw.Bin()->Block(0));
    TGOSTDataBlock first;
    std::memcpy(&first, memory->Main.Code, 8);
    EXPECT_EQ(first, fw.Bin()->Block(1));
    EXPECT_EQ(memory->Main.aImito, fw.Bin()->Block(7136));
    EXPECT_THROW(fw.Bin()->Block(7137), std::out_of_range);
    EXPECT_NEAR(CurrentDateTime(), fw.Date(), 1.0 / 24);
    EXPECT_EQ(2, fw.ProductID());
}

TEST(KelvoUsbFirmware, SaveAndLoadReproduceTheImage) {
    auto fw = SampleImage();
    fw->SetDescription("demo build");
    TScratchFile file("image");
    fw->SaveToFile(file.Path());
    std::vector<uint8_t> bytes = file.Read();
    ASSERT_EQ(57518u + 19, bytes.size());
    EXPECT_EQ(32, bytes[0]);
    EXPECT_EQ("\r\nKELVO USB firmware file     \r\n", std::string(bytes.begin() + 1, bytes.begin() + 33));
    int32_t version;
    std::memcpy(&version, bytes.data() + 97, 4);
    EXPECT_EQ(2, version);
    EXPECT_EQ(32, bytes[57205]);
    EXPECT_EQ(2, bytes[57234]);
    EXPECT_EQ(10, bytes[57236]);

    TKelvoUsbFirmware back;
    back.LoadFromFile(file.Path());
    EXPECT_TRUE(back.Valid());
    EXPECT_EQ(2, back.FileVersion());
    EXPECT_EQ(0, std::memcmp(&fw->Data(), &back.Data(), sizeof(TMSP430Firmware)));
    EXPECT_EQ(fw->DeviceGUID(), back.DeviceGUID());
    EXPECT_EQ("SENSOR_147_FIRMWARE", back.Name());
    EXPECT_EQ("demo build", back.Description());
    EXPECT_EQ(bytes, Bytes(back));
}

TEST(KelvoUsbFirmware, HeaderChecks) {
    std::vector<uint8_t> good = Bytes(*SampleImage());
    auto load = [](const std::vector<uint8_t>& ABytes, TKelvoUsbFirmware& AFw) {
        std::string s(ABytes.begin(), ABytes.end());
        std::istringstream in(s);
        AFw.LoadFromStream(in);
    };
    {
        std::vector<uint8_t> garbageText = good;
        for (int i = 0; i < 81; ++i)
            garbageText[std::size_t(i)] = uint8_t(i * 13);
        TKelvoUsbFirmware fw;
        load(garbageText, fw);
        EXPECT_TRUE(fw.Valid());
    }
    for (int32_t v : {3, 1000, -1, INT32_MIN}) {
        std::vector<uint8_t> newer = good;
        PutU32(newer, 97, uint32_t(v));
        TKelvoUsbFirmware fw;
        try {
            load(newer, fw);
            ADD_FAILURE() << "version " << v << " accepted";
        } catch (const TFirmwareException& e) {
            EXPECT_STREQ("Invalid file version", e.what());
        }
        EXPECT_EQ(0, fw.FileVersion());
        EXPECT_EQ("Empty", fw.ErrorStr());
    }
    std::vector<uint8_t> otherGuid = good;
    otherGuid[81] ^= 1;
    TKelvoUsbFirmware fw;
    try {
        load(otherGuid, fw);
        ADD_FAILURE() << "wrong GUID accepted";
    } catch (const TFirmwareException& e) {
        EXPECT_STREQ("Invalid firmware file", e.what());
    }
    // A file too short to hold a header is not a firmware file.
    std::vector<uint8_t> stub(good.begin(), good.begin() + 60);
    EXPECT_THROW(load(stub, fw), TFirmwareException);
    EXPECT_THROW(load({}, fw), TFirmwareException);
}

TEST(KelvoUsbFirmware, OldFormatAndCorruptData) {
    std::vector<uint8_t> good = Bytes(*SampleImage());
    auto load = [](std::vector<uint8_t> ABytes) {
        auto fw = std::make_unique<TKelvoUsbFirmware>();
        std::string s(ABytes.begin(), ABytes.end());
        std::istringstream in(s);
        fw->LoadFromStream(in);
        return fw;
    };
    // Versions 0 and 1 end after the record; a correct CRC still does not make them valid.
    for (int32_t version : {0, 1}) {
        std::vector<uint8_t> v1(good.begin(), good.begin() + 101 + 57397);
        PutU32(v1, 97, uint32_t(version));
        auto old = load(v1);
        EXPECT_FALSE(old->Valid());
        EXPECT_EQ("unsupported file version " + std::to_string(version), old->ErrorStr());
        EXPECT_EQ("", old->Name());
        EXPECT_TRUE(IsNullGuid(old->DeviceGUID()));
        EXPECT_EQ(version, old->FileVersion());
    }

    std::vector<uint8_t> flipped = good;
    flipped[101 + 8 + 1000] ^= 0x40;
    auto bad = load(flipped);
    EXPECT_FALSE(bad->Valid());
    EXPECT_EQ("invalid CRC", bad->ErrorStr());
    EXPECT_EQ("SENSOR_147_FIRMWARE", bad->Name()); // stays readable for diagnostics

    // A processor name length beyond its 16-byte field is clipped to the field.
    std::vector<uint8_t> longCpu = good;
    longCpu[101 + 57108] = 0xFF;
    auto clipped = load(longCpu);
    EXPECT_EQ("invalid CRC", clipped->ErrorStr());
    EXPECT_EQ(16u, clipped->CPUStr().size());
    EXPECT_EQ(0, clipped->CPUStr().compare(0, 10, "MSP430F147"));

    // Cut inside the record (before its date) or inside the device GUID or the name length: not
    // valid, no exception, the bytes missing up to the name named, and no date that was not read.
    const struct {
        std::size_t fCut;
        const char* fError;
    } cuts[] = {{30000, "file truncated: at least 27518 bytes missing"},
                {57498, "file truncated: at least 20 bytes missing"},
                {57505, "file truncated: at least 13 bytes missing"},
                {NameLengthOffset + 2, "file truncated: at least 2 bytes missing"}};
    for (const auto& c : cuts) {
        auto cut = load(std::vector<uint8_t>(good.begin(), good.begin() + std::ptrdiff_t(c.fCut)));
        EXPECT_FALSE(cut->Valid()) << c.fCut;
        EXPECT_EQ(c.fError, cut->ErrorStr()) << c.fCut;
        EXPECT_EQ("", cut->Name()) << c.fCut;
    }
    EXPECT_EQ(0.0, load(std::vector<uint8_t>(good.begin(), good.begin() + 30000))->Date());
}

TEST(KelvoUsbFirmware, HostileNameLengthsAreRefused) {
    std::vector<uint8_t> good = Bytes(*SampleImage());
    for (uint32_t length : {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 20u}) {
        std::vector<uint8_t> hostile = good;
        PutU32(hostile, NameLengthOffset, length); // the real name is 19 bytes long
        std::string s(hostile.begin(), hostile.end());
        std::istringstream in(s);
        TKelvoUsbFirmware fw;
        try {
            fw.LoadFromStream(in);
            ADD_FAILURE() << length;
        } catch (const TFirmwareException& e) {
            EXPECT_STREQ("Invalid firmware name length", e.what());
        }
        EXPECT_FALSE(fw.Valid());
        // The same through a stream that cannot tell its size.
        TOneWayBuffer buffer(hostile);
        std::istream oneWay(&buffer);
        TKelvoUsbFirmware fw2;
        EXPECT_THROW(fw2.LoadFromStream(oneWay), TFirmwareException) << length;
        EXPECT_FALSE(fw2.Valid());
    }
    // A one-way stream with honest content loads normally.
    TOneWayBuffer buffer(good);
    std::istream oneWay(&buffer);
    TKelvoUsbFirmware fw;
    fw.LoadFromStream(oneWay);
    EXPECT_TRUE(fw.Valid());
}

TEST(KelvoUsbFirmware, FileErrors) {
    TKelvoUsbFirmware fw;
    EXPECT_THROW(fw.LoadFromFile("/nonexistent/folder/x.kelvousbfw"), TFirmwareException);
    EXPECT_THROW(fw.LoadFromResource("NO_SUCH_RESOURCE"), TFirmwareException);
    EXPECT_THROW(SampleImage()->SaveToFile("/nonexistent/folder/x.kelvousbfw"), TFirmwareException);
}

TEST(DateTime, TextForm) {
    EXPECT_EQ("1899-12-30 00:00:00", DateTimeToStr(0));
    EXPECT_EQ("2000-01-01 12:00:00", DateTimeToStr(36526.5));
    EXPECT_EQ("1970-01-01 06:00:00", DateTimeToStr(25569.25));
    EXPECT_EQ("invalid date", DateTimeToStr(std::nan("")));
    EXPECT_EQ("invalid date", DateTimeToStr(1e300));
}
