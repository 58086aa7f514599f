#include "platform/AppendFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string Get(const fs::path& AFile) {
    std::ifstream in(AFile, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(AppendFile, AppendsToTheEndAndRefusesWhatIsNoRegularFile) {
    struct TCase {
        const char* fWhat;
        std::function<void(const fs::path&)> fMake;
        bool fAppended;
        std::string fAfter;
    };
    const TCase cases[] = {
        {"no file yet", [](const fs::path&) {}, true, "line\n"},
        {"a file", [](const fs::path& AFile) { std::ofstream(AFile, std::ios::binary) << "first\n"; }, true,
         "first\nline\n"},
        {"a folder", [](const fs::path& AFile) { fs::create_directory(AFile); }, false, ""},
        // A FIFO with no reader would block an open for writing: refused at once instead.
        {"a FIFO", [](const fs::path& AFile) { ::mkfifo(AFile.c_str(), 0600); }, false, ""},
        {"a link to a file",
         [](const fs::path& AFile) {
             std::ofstream(AFile.string() + ".target", std::ios::binary) << "target\n";
             fs::create_symlink(AFile.string() + ".target", AFile);
         },
         false, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.fWhat);
        const fs::path dir = fs::temp_directory_path() / ("kelvo-append-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        const fs::path file = dir / "history.jsonl";
        c.fMake(file);
        if (c.fAppended) {
            AppendToFile(file.string(), "line\n");
            EXPECT_EQ(Get(file), c.fAfter);
        } else {
            EXPECT_THROW(AppendToFile(file.string(), "line\n"), EAppendFileError);
        }
        // A link's target is never written through.
        if (fs::exists(file.string() + ".target")) {
            EXPECT_EQ(Get(file.string() + ".target"), "target\n");
        }
        fs::remove_all(dir);
    }
}
