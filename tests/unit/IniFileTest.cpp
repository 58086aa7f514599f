#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        fDir = fs::temp_directory_path() / ("kelvo-ini-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(fDir);
        fs::create_directories(fDir);
        fPath = (fDir / "1-2-3-4-5-6-7-8.ini").string();
    }
    void TearDown() override { fs::remove_all(fDir); }

    void Put(const std::string& AText) { std::ofstream(fPath, std::ios::binary) << AText; }
    std::string Get() const {
        std::ifstream in(fPath, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    size_t FilesInDir() const {
        return size_t(std::distance(fs::directory_iterator(fDir), fs::directory_iterator()));
    }

    fs::path fDir;
    std::string fPath;
};

} // namespace

TEST_F(IniFileTest, MissingFileOrKeyGivesTheDefault) {
    TIniFile ini(fPath);
    EXPECT_EQ("dflt", ini.ReadString("Device", "UpdateStep", "dflt"));
    EXPECT_EQ(7, ini.ReadInteger("Device", "UpdateStep", 7));
    EXPECT_TRUE(ini.ReadBool("Device", "Locked", true));
    EXPECT_FALSE(ini.SectionExists("Device"));
    TIniFile inMissingFolder((fDir / "no" / "such.ini").string());
    EXPECT_EQ(3, inMissingFolder.ReadInteger("Device", "UpdateStep", 3));
    EXPECT_FALSE(fs::exists(fPath)); // reading creates nothing
}

TEST_F(IniFileTest, NamesMatchWithoutCaseAndValuesAreTrimmedAndUnquoted) {
    // Saved by an editor: a byte order mark, mixed line ends, blanks, quotes and a comment.
    Put("\xEF\xBB\xBF[device]\r\n; settings\r\n  updatestep = 5  \r\nName=\"  quoted  \"\r\nOdd='x\r\n"
        "[Other]\nUpdateStep=9\n");
    TIniFile ini(fPath);
    EXPECT_EQ(5, ini.ReadInteger("Device", "UpdateStep", 0));
    EXPECT_EQ(9, ini.ReadInteger("OTHER", "updateSTEP", 0));
    EXPECT_EQ("  quoted  ", ini.ReadString("Device", "Name", ""));
    EXPECT_EQ("'x", ini.ReadString("Device", "Odd", ""));
    EXPECT_TRUE(ini.ValueExists("DEVICE", "name"));
    EXPECT_FALSE(ini.ValueExists("Device", "; settings"));
}

TEST_F(IniFileTest, FirstSectionAndFirstKeyWin) {
    Put("[Device]\nA=1\nA=2\n[Device]\nA=3\nB=4\n");
    TIniFile ini(fPath);
    EXPECT_EQ(1, ini.ReadInteger("Device", "A", 0));
    EXPECT_EQ(-1, ini.ReadInteger("Device", "B", -1)); // only the first section is looked at
}

TEST_F(IniFileTest, IntegersParseLikeTheProfileReader) {
    Put("[D]\nd=42\nneg=-17\nplus=+8\nhex=0x1F\nHEX=0XfF\nallOnes=0xFFFFFFFF\ntrail=12abc\n"
        "word=abc\nempty=\nbarehex=0x\nsign=-\n");
    TIniFile ini(fPath);
    EXPECT_EQ(42, ini.ReadInteger("D", "d", 0));
    EXPECT_EQ(-17, ini.ReadInteger("D", "neg", 0));
    EXPECT_EQ(8, ini.ReadInteger("D", "plus", 0));
    EXPECT_EQ(31, ini.ReadInteger("D", "hex", 0));
    EXPECT_EQ(-1, ini.ReadInteger("D", "allOnes", 0));
    EXPECT_EQ(12, ini.ReadInteger("D", "trail", 0));
    for (const char* notANumber : {"word", "empty", "barehex", "sign"})
        EXPECT_EQ(99, ini.ReadInteger("D", notANumber, 99)) << notANumber;
    EXPECT_TRUE(ini.ReadBool("D", "hex", false));
    EXPECT_FALSE(ini.ReadBool("D", "word", false));
    EXPECT_TRUE(ini.ReadBool("D", "word", true));
}

TEST_F(IniFileTest, WritesCreateFileAndSectionAndKeepEverythingElseInOrder) {
    TIniFile ini(fPath);
    ini.WriteInteger("Device", "UpdateStep", 1);
    EXPECT_EQ("[Device]\r\nUpdateStep=1\r\n", Get());

    Put("; keep me\n[Other]\nX=1\n\n[device]\nupdatestep=1\nCalibration=AB\n\n[Last]\nY=2\n");
    ini.WriteInteger("Device", "UpdateStep", 5); // replaced in place
    ini.WriteBool("DEVICE", "Locked", true);     // appended to the section, before its blank line
    ini.WriteString("New", "K", "v");
    EXPECT_EQ(
        "; keep me\r\n[Other]\r\nX=1\r\n\r\n[device]\r\nUpdateStep=5\r\nCalibration=AB\r\nLocked=1\r\n\r\n"
        "[Last]\r\nY=2\r\n\r\n[New]\r\nK=v\r\n",
        Get());
    EXPECT_EQ(5, ini.ReadInteger("Device", "UpdateStep", 0));
    EXPECT_TRUE(ini.ReadBool("Device", "Locked", false));

    ini.DeleteKey("device", "CALIBRATION");
    EXPECT_FALSE(ini.ValueExists("Device", "Calibration"));
    EXPECT_EQ(1, ini.ReadInteger("Other", "X", 0));
    ini.DeleteKey("Nowhere", "X"); // nothing to do
}

TEST_F(IniFileTest, NamesAndValuesThatWouldBreakTheFileAreRefused) {
    TIniFile ini(fPath);
    ini.WriteInteger("Device", "UpdateStep", 2);
    const std::string before = Get();
    EXPECT_THROW(ini.WriteString("Device", "Calibration", "00\r\nUpdateStep=0"), EIniFileError);
    EXPECT_THROW(ini.WriteString("Dev]ice", "K", "v"), EIniFileError);
    EXPECT_THROW(ini.WriteString("Device", "A=B", "v"), EIniFileError);
    EXPECT_THROW(ini.WriteString("Device", " ", "v"), EIniFileError);
    EXPECT_EQ(before, Get());
}

TEST_F(IniFileTest, UnreadableFileRaises) {
    fs::create_directory(fPath); // a folder where the file should be
    TIniFile ini(fPath);
    EXPECT_THROW(ini.ReadInteger("Device", "UpdateStep", 0), EIniFileError);
    EXPECT_THROW(ini.WriteInteger("Device", "UpdateStep", 1), EIniFileError);
}

TEST_F(IniFileTest, SpecialFilesAreRefusedWithoutBlocking) {
    Put("[Device]\r\nUpdateStep=3\r\n");
    const std::string fifo = (fDir / "fifo.ini").string();
    const std::string link = (fDir / "link.ini").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(fPath, link);
    // A FIFO without a writer would block an ordinary open for ever.
    for (const std::string& file : {fifo, link}) {
        TIniFile ini(file);
        EXPECT_THROW(ini.ReadInteger("Device", "UpdateStep", 0), EIniFileError) << file;
        EXPECT_THROW(ini.WriteInteger("Device", "UpdateStep", 1), EIniFileError) << file;
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_TRUE(fs::is_symlink(link));
}

TEST_F(IniFileTest, LeftoverTemporaryFilesAreIgnored) {
    TIniFile ini(fPath);
    ini.WriteInteger("Device", "UpdateStep", 3);
    // What a crash between creating and renaming a temporary file leaves behind.
    std::ofstream(fPath + ".4242-0.tmp") << "[Device]\nUpdateStep=";
    EXPECT_EQ(3, ini.ReadInteger("Device", "UpdateStep", 0));
    ini.WriteInteger("Device", "UpdateStep", 4);
    EXPECT_EQ(4, ini.ReadInteger("Device", "UpdateStep", 0));
    EXPECT_EQ(2u, FilesInDir()); // the file and the stranger; our own temporary is gone
}

TEST_F(IniFileTest, AWriteThatFailsMidwayLeavesTheOldFileIntact) {
    TIniFile ini(fPath);
    ini.WriteInteger("Device", "UpdateStep", 3);
    ini.WriteString("Device", "Calibration", "00112233");
    const std::string before = Get();
    // In a child process, cap the file size so the temporary file cannot be written to the end.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{64, 64};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        try {
            TIniFile(fPath).WriteString("Device", "Calibration", std::string(200, 'A'));
        } catch (const EIniFileError&) {
            ::_exit(0);
        }
        ::_exit(1); // the write claimed success
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(before, Get());
    EXPECT_EQ(1u, FilesInDir()); // the partial temporary file was removed
}
