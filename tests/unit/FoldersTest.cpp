#include "platform/Folders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

// Sets or unsets an environment variable for one test and puts the old value back.
class TEnvOverride {
public:
    TEnvOverride(const char* AName, const char* AValue) : fName(AName) {
        if (const char* old = std::getenv(AName))
            fOld = old;
        if (AValue)
            setenv(AName, AValue, 1);
        else
            unsetenv(AName);
    }
    ~TEnvOverride() {
        if (fOld)
            setenv(fName, fOld->c_str(), 1);
        else
            unsetenv(fName);
    }

private:
    const char* fName;
    std::optional<std::string> fOld;
};

} // namespace

TEST(UserDataFolder, PrefersAbsoluteXdgDataHomeElseHomeLocalShare) {
    {
        TEnvOverride xdg("XDG_DATA_HOME", "/tmp/kelvo-data");
        EXPECT_EQ(UserDataFolder(), "/tmp/kelvo-data");
    }
    TEnvOverride home("HOME", "/home/tester/");
    {
        TEnvOverride xdg("XDG_DATA_HOME", nullptr);
        EXPECT_EQ(UserDataFolder(), "/home/tester/.local/share");
    }
    {
        TEnvOverride xdg("XDG_DATA_HOME", "relative/data");
        EXPECT_EQ(UserDataFolder(), "/home/tester/.local/share");
    }
    {
        TEnvOverride xdg("XDG_DATA_HOME", "");
        EXPECT_EQ(UserDataFolder(), "/home/tester/.local/share");
    }
}
