#include "FwBuildToolSupport.h"
#include "MyLib/KelvoFirmware.h"
#include "platform/Resources.h"
#include "tests/support/DemoCipher.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace {

const std::string Synchro = "0011223344556677";

class KelvoFwBuild : public ::testing::Test {
protected:
    void SetUp() override {
        WriteRaw(fKey, DemoKey);
        WriteRaw(fTable, DemoTable);
    }

    TToolRun Build(const TScratchFile& AMemory, std::initializer_list<std::string> AExtra = {}) {
        std::vector<std::string> args = {"build",     "--memory", AMemory.Path(), "--key",
                                         fKey.Path(), "--table",  fTable.Path(),  "--synchro",
                                         Synchro,     "-o",       fImage.Path()};
        args.insert(args.end(), AExtra.begin(), AExtra.end());
        return RunTool(args);
    }

    // One line on stderr, non-zero status, nothing on stdout.
    static void ExpectOneErrorLine(const TToolRun& ARun, const std::string& AContains) {
        EXPECT_NE(0, ARun.Status);
        EXPECT_EQ("", ARun.Out);
        EXPECT_EQ(1, std::count(ARun.Err.begin(), ARun.Err.end(), '\n')) << ARun.Err;
        EXPECT_NE(std::string::npos, ARun.Err.find(AContains)) << ARun.Err;
    }

    TScratchFile fKey{"key"}, fTable{"table"}, fImage{"image"};
};

TEST_F(KelvoFwBuild, BuildsTheSameImageFromEveryInputFormat) {
    auto memory = SampleMemory(0x11, 0x22, "@FWID@P20&H3&FA&CMSP430F235");
    TScratchFile ti("ti"), hex("hex"), raw("raw");
    WriteText(ti, ToTiTxt(*memory, 0x1100, 0xF000));
    WriteText(hex, ToIntelHex(*memory, 0x1100, 0xF000));
    WriteRaw(raw, *memory);

    std::vector<TMSP430CryptedBinaryChecked> built;
    for (const TScratchFile* input : {&ti, &hex, &raw}) {
        TToolRun run = Build(*input);
        ASSERT_EQ(0, run.Status) << run.Err;
        EXPECT_EQ("", run.Err);
        TKelvoUsbFirmware fw;
        fw.LoadFromFile(fImage.Path());
        EXPECT_TRUE(fw.Valid());
        EXPECT_EQ("SENSOR_235_FIRMWARE", fw.Name());
        built.push_back(*fw.Bin());
    }
    const uint8_t expectedSynchro[8] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    EXPECT_EQ(0, std::memcmp(expectedSynchro, &built[0].SynchroPacket, 8));
    EXPECT_EQ(0, std::memcmp(&built[0], &built[1], sizeof built[0]));
    EXPECT_EQ(0, std::memcmp(&built[0], &built[2], sizeof built[0]));

    // Without --synchro every build draws its own block.
    TScratchFile other("image");
    ASSERT_EQ(0, RunTool({"build", "--memory", raw.Path(), "--key", fKey.Path(), "--table", fTable.Path(),
                          "--output=" + other.Path()})
                     .Status);
    TKelvoUsbFirmware fw;
    fw.LoadFromFile(other.Path());
    EXPECT_NE(built[0].SynchroPacket, fw.Bin()->SynchroPacket);
}

TEST_F(KelvoFwBuild, OptionsOverrideTheIdentity) {
    TScratchFile raw("raw");
    WriteRaw(raw, *SampleMemory(35, 11)); // no marker: the words give product and firmware version
    TToolRun refused = Build(raw);
    ExpectOneErrorLine(refused, "invalid hardware version");
    EXPECT_FALSE(std::filesystem::exists(fImage.Path()));

    ASSERT_EQ(0, Build(raw, {"--allow-invalid"}).Status);
    TToolRun info = RunTool({"info", fImage.Path()});
    EXPECT_EQ(0, info.Status);
    // An image written while invalid carries CRC 0, so reading it back reports the CRC.
    EXPECT_NE(std::string::npos, info.Out.find("invalid: invalid CRC")) << info.Out;

    TToolRun run =
        Build(raw, {"--hw", "5", "--cpu", "msp430f5522", "--fw", "0x0C", "--description", "lab build"});
    ASSERT_EQ(0, run.Status) << run.Err;
    TKelvoUsbFirmware fw;
    fw.LoadFromFile(fImage.Path());
    EXPECT_TRUE(fw.Valid());
    EXPECT_EQ(35, fw.ProductID());
    EXPECT_EQ(5, fw.VersionHW());
    EXPECT_EQ(12, fw.VersionFW());
    EXPECT_EQ(5522, fw.CPU());
    EXPECT_EQ("LP02_FIRMWARE", fw.Name());
    EXPECT_EQ("lab build", fw.Description());

    // --pid comes after the versions, so it can turn the image into another product's.
    ASSERT_EQ(0, Build(raw, {"--hw", "5", "--cpu", "MSP430F5522", "--pid", "32", "--fw", "1"}).Status);
    fw.LoadFromFile(fImage.Path());
    EXPECT_EQ(32, fw.ProductID());
    EXPECT_EQ("", fw.Name()); // product 32 has no hardware version 5
}

TEST_F(KelvoFwBuild, BadInputGivesOneLineAndWritesNothing) {
    TScratchFile raw("raw"), shortKey("key"), text("text");
    WriteRaw(raw, *SampleMemory(32, 10, "@FWID@P20&H2&FA&CMSP430F147"));
    shortKey.Write(std::vector<uint8_t>(31, 1));
    // An earlier output must survive a failed build untouched.
    fImage.Write({1, 2, 3});
    ExpectOneErrorLine(RunTool({"build", "--memory", raw.Path(), "--key", shortKey.Path(), "--table",
                                fTable.Path(), "-o", fImage.Path()}),
                       "32 bytes");
    ExpectOneErrorLine(RunTool({"build", "--memory", raw.Path(), "--key", fTable.Path(), "--table",
                                fTable.Path(), "-o", fImage.Path()}),
                       "32 bytes");
    ExpectOneErrorLine(RunTool({"build", "--memory", raw.Path(), "--key", fKey.Path(), "--table", fKey.Path(),
                                "-o", fImage.Path()}),
                       "64 bytes");
    ExpectOneErrorLine(RunTool({"build", "--memory", "/nonexistent/memory.txt", "--key", fKey.Path(),
                                "--table", fTable.Path(), "-o", fImage.Path()}),
                       "/nonexistent/memory.txt");
    ExpectOneErrorLine(Build(raw, {"--synchro", "00112233"}), "--synchro");
    ExpectOneErrorLine(RunTool({"build", "--memory", raw.Path(), "--key", fKey.Path(), "--table",
                                fTable.Path(), "--synchro", "00112233445566zz", "-o", fImage.Path()}),
                       "--synchro");
    ExpectOneErrorLine(Build(raw, {"--hw", "70000"}), "--hw");
    ExpectOneErrorLine(Build(raw, {"--frobnicate"}), "unknown option --frobnicate");
    ExpectOneErrorLine(
        RunTool({"build", "--memory", raw.Path(), "--key", fKey.Path(), "--table", fTable.Path()}),
        "--output");
    for (const char* content : {"@1100\n01 02 03\n",              // no end line
                                "01 02 @1100\nq\n",               // data before an address
                                "@1100\n01 0G\nq\n",              // bad byte
                                "@FFFF\n01 02\nq\n",              // runs past the address space
                                ":0211000001020A\n:00000001FF\n", // checksum
                                ":02110000010203\n",              // no end record (and bad length)
                                "hello"}) {
        WriteText(text, content);
        ExpectOneErrorLine(Build(text), text.Path());
    }
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), fImage.Read());
    ExpectOneErrorLine(RunTool({"frobnicate"}), "unknown command");
    ExpectOneErrorLine(RunTool({"info", text.Path()}), "not a firmware image or collection");
    ExpectOneErrorLine(RunTool({"info"}), "no file");
    // No temporary files are left behind beside the output.
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(fImage.Path()).parent_path()))
        EXPECT_EQ(std::string::npos, entry.path().filename().string().find(
                                         std::filesystem::path(fImage.Path()).filename().string() + ".tmp"));
}

TEST_F(KelvoFwBuild, CollectionInfoAndBuiltin) {
    TScratchFile a("raw"), b("raw"), imageA("image"), imageB("image"), set("set"), builtin("builtin");
    WriteRaw(a, *SampleMemory(0, 0, "@FWID@P2&H2&F8&CMSP430F147"));
    WriteRaw(b, *SampleMemory(0, 0, "@FWID@P1F01&H5&F23&CMSP430F5528"));
    for (auto [memory, image] : {std::pair{&a, &imageA}, std::pair{&b, &imageB}})
        ASSERT_EQ(0, RunTool({"build", "--memory", memory->Path(), "--key", fKey.Path(), "--table",
                              fTable.Path(), "-o", image->Path()})
                         .Status);
    TToolRun made = RunTool({"collection", "-o", set.Path(), imageB.Path(), imageA.Path()});
    ASSERT_EQ(0, made.Status) << made.Err;
    TKelvoUsbFirmwareCollection loaded(nullptr);
    loaded.LoadFromFile(set.Path());
    ASSERT_EQ(2, loaded.Count());
    EXPECT_EQ("QV02V3_FIRMWARE", loaded.Firmwares(0)->Name());
    EXPECT_EQ("TC_FIRMWARE", loaded.Firmwares(1)->Name());

    TToolRun info = RunTool({"info", set.Path(), imageA.Path()});
    ASSERT_EQ(0, info.Status) << info.Err;
    EXPECT_EQ(5, std::count(info.Out.begin(), info.Out.end(), '\n')) << info.Out;
    EXPECT_NE(std::string::npos,
              info.Out.find(" 0  pid 7937  hw 5   fw 35   MSP430F5528      QV02V3_FIRMWARE"))
        << info.Out;
    TToolRun json = RunTool({"info", "--json", set.Path()});
    ASSERT_EQ(0, json.Status);
    EXPECT_NE(std::string::npos, json.Out.find("\"kind\": \"collection\"")) << json.Out;
    EXPECT_NE(std::string::npos,
              json.Out.find(
                  "\"index\": 1, \"productId\": 2, \"versionHW\": 2, \"versionFW\": 8, \"cpu\": 147, "
                  "\"cpuStr\": \"MSP430F147\", \"name\": \"TC_FIRMWARE\", \"valid\": true, \"error\": \"\""))
        << json.Out;

    // A corrupt image is refused unless asked for.
    std::vector<uint8_t> bytes = imageA.Read();
    bytes[5000] ^= 1;
    imageA.Write(bytes);
    ExpectOneErrorLine(RunTool({"collection", "-o", builtin.Path(), imageA.Path()}), "invalid CRC");
    EXPECT_FALSE(std::filesystem::exists(builtin.Path()));
    EXPECT_EQ(0, RunTool({"collection", "--allow-invalid", "-o", builtin.Path(), imageA.Path()}).Status);

    ASSERT_EQ(0, RunTool({"extract-builtin", "-o", builtin.Path()}).Status);
    TResourceBlob blob;
    ASSERT_TRUE(FindResource("FWCOLLECTION", blob));
    EXPECT_EQ(std::vector<uint8_t>(blob.Data, blob.Data + blob.Size), builtin.Read());
    TToolRun listed = RunTool({"info", builtin.Path()});
    EXPECT_EQ(26, std::count(listed.Out.begin(), listed.Out.end(), '\n'));
    EXPECT_EQ(26, [&] {
        int n = 0;
        for (std::size_t p = 0; (p = listed.Out.find(" valid ", p)) != std::string::npos; ++p)
            ++n;
        return n;
    }());
}

TEST_F(KelvoFwBuild, InfoListsEveryReadableFileAndNamesWhatIsWrongWithTheOthers) {
    TScratchFile raw("raw"), truncated("image"), negative("image"), hostile("image");
    WriteRaw(raw, *SampleMemory(0, 0, "@FWID@P20&H2&FA&CMSP430F147"));
    ASSERT_EQ(0, Build(raw).Status);
    const std::vector<uint8_t> good = fImage.Read();
    truncated.Write(std::vector<uint8_t>(good.begin(), good.begin() + 30000));
    std::vector<uint8_t> bytes = good;
    const int32_t minusOne = -1;
    std::memcpy(&bytes[97], &minusOne, sizeof minusOne);
    negative.Write(bytes);
    // The name follows the record and is not covered by its CRC: a crafted one stays valid.
    bytes = good;
    const std::string name = "\x1b[2J\nfake line\\";
    const auto length = int32_t(name.size());
    bytes.resize(101 + 57397 + 16);
    bytes.insert(bytes.end(), reinterpret_cast<const uint8_t*>(&length),
                 reinterpret_cast<const uint8_t*>(&length) + sizeof length);
    bytes.insert(bytes.end(), name.begin(), name.end());
    hostile.Write(bytes);

    TToolRun run = RunTool(
        {"info", fImage.Path(), "/nonexistent/nope.bin", truncated.Path(), negative.Path(), hostile.Path()});
    EXPECT_EQ(1, run.Status);
    EXPECT_EQ(2, std::count(run.Err.begin(), run.Err.end(), '\n')) << run.Err;
    EXPECT_NE(std::string::npos, run.Err.find("cannot open /nonexistent/nope.bin: No such file or directory"))
        << run.Err;
    EXPECT_NE(std::string::npos, run.Err.find(negative.Path() + ": Invalid file version")) << run.Err;
    // Three files listed with their names, one line each.
    EXPECT_EQ(6, std::count(run.Out.begin(), run.Out.end(), '\n')) << run.Out;
    EXPECT_NE(std::string::npos, run.Out.find("SENSOR_147_FIRMWARE")) << run.Out;
    EXPECT_NE(std::string::npos, run.Out.find("invalid: file truncated: at least 27518 bytes missing  -\n"))
        << run.Out;
    EXPECT_NE(std::string::npos, run.Out.find("\\x1b[2J\\x0afake line\\\\ ")) << run.Out;
    EXPECT_EQ(std::string::npos, run.Out.find('\x1b'));
    TToolRun json = RunTool({"info", "--json", truncated.Path()});
    EXPECT_NE(std::string::npos, json.Out.find("\"created\": null")) << json.Out;

    // A pipe is read like a file.
    TToolRun piped = RunTool({"info", "/dev/stdin"}, "cat " + ShellQuoted(fImage.Path()) + " | ");
    EXPECT_EQ(0, piped.Status) << piped.Err;
    EXPECT_NE(std::string::npos, piped.Out.find("SENSOR_147_FIRMWARE  ")) << piped.Out;
}

TEST_F(KelvoFwBuild, OutputIsOnlyEverARegularFileReplacedWhole) {
    TScratchFile raw("raw"), fifo("fifo"), link("link");
    WriteRaw(raw, *SampleMemory(0, 0, "@FWID@P20&H2&FA&CMSP430F147"));
    ASSERT_EQ(0, ::mkfifo(fifo.Path().c_str(), 0600));
    std::filesystem::create_symlink(fImage.Path(), link.Path());
    for (const std::string& special : {fifo.Path(), link.Path(), std::string("/dev/full")}) {
        ExpectOneErrorLine(RunTool({"build", "--memory", raw.Path(), "--key", fKey.Path(), "--table",
                                    fTable.Path(), "-o", special}),
                           "cannot replace " + special + ": not a regular file");
    }
    EXPECT_TRUE(std::filesystem::is_fifo(fifo.Path()));
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
    ExpectOneErrorLine(RunTool({"extract-builtin", "-o", fifo.Path()}), "not a regular file");

    // A replaced file keeps its mode.
    fImage.Write({1});
    std::filesystem::permissions(fImage.Path(), std::filesystem::perms::owner_read);
    ASSERT_EQ(0, Build(raw).Status);
    EXPECT_EQ(std::filesystem::perms::owner_read, std::filesystem::status(fImage.Path()).permissions());
    EXPECT_EQ(101u + 57397 + 20 + 19, fImage.Read().size());

    // A write that fails names the target and the cause, and leaves the old file.
    TToolRun full = RunTool({"build", "--memory", raw.Path(), "--key", fKey.Path(), "--table", fTable.Path(),
                             "-o", fImage.Path()},
                            "trap '' XFSZ; ulimit -f 40; ");
    ExpectOneErrorLine(full, "cannot write " + fImage.Path() + ": File too large");
    EXPECT_EQ(101u + 57397 + 20 + 19, fImage.Read().size());
}

TEST_F(KelvoFwBuild, TextsThatDoNotFitAreRefused) {
    TScratchFile raw("raw");
    WriteRaw(raw, *SampleMemory(0, 0, "@FWID@P20&H2&FA&CMSP430F147"));
    ExpectOneErrorLine(Build(raw, {"--description", std::string(256, 'd')}),
                       "--description: 256 characters, at most 255 fit");
    ExpectOneErrorLine(Build(raw, {"--cpu", "MSP430F147-extended"}), "--cpu: 19 characters, at most 16 fit");
    EXPECT_FALSE(std::filesystem::exists(fImage.Path()));
    ASSERT_EQ(0, Build(raw, {"--description", std::string(255, 'd'), "--cpu", "MSP430F147 rev-B"}).Status);
    TKelvoUsbFirmware fw;
    fw.LoadFromFile(fImage.Path());
    EXPECT_EQ(std::string(255, 'd'), fw.Description());
    EXPECT_EQ("MSP430F147 rev-B", fw.CPUStr());
}

TEST_F(KelvoFwBuild, HelpForEveryCommand) {
    for (const char* command : {"build", "info", "collection", "extract-builtin"}) {
        TToolRun run = RunTool({command, "--help"});
        EXPECT_EQ(0, run.Status) << command;
        EXPECT_EQ(0u, run.Out.find(std::string("usage: kelvo-fwbuild ") + command)) << run.Out;
        // Asked for help, a command gives it whatever else the line holds.
        TToolRun anyway = RunTool({command, "--frobnicate", "-h"});
        EXPECT_EQ(0, anyway.Status) << command;
        EXPECT_EQ(run.Out, anyway.Out);
    }
    TToolRun top = RunTool({"--help"});
    EXPECT_EQ(0, top.Status);
    EXPECT_NE(std::string::npos, top.Out.find("extract-builtin"));
}

} // namespace
