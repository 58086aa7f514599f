#pragma once
// What the front-end suites share: a stream captured in memory, a scratch folder, an environment
// override, and a main window run with the console toolkit on a real event loop.
#include "app/Unit1.h"
#include "app/console/ConsoleToolkit.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <sstream>
#include <string>

// A stream into an anonymous temporary file, read back whole.
class TCapture {
public:
    TCapture() : fFile(std::tmpfile()) {}
    ~TCapture() { std::fclose(fFile); }
    TCapture(const TCapture&) = delete;
    TCapture& operator=(const TCapture&) = delete;
    std::FILE* File() { return fFile; }
    std::string Text() {
        std::fflush(fFile);
        const long end = std::ftell(fFile);
        std::string text(size_t(end > 0 ? end : 0), '\0');
        std::rewind(fFile);
        text.resize(std::fread(text.data(), 1, text.size(), fFile));
        std::fseek(fFile, 0, SEEK_END);
        return text;
    }

private:
    std::FILE* fFile;
};

class TTempDir {
public:
    TTempDir() {
        std::random_device random;
        for (;;) {
            const auto path =
                std::filesystem::temp_directory_path() / ("kelvo-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(path)) {
                fPath = path.string();
                return;
            }
        }
    }
    ~TTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(fPath, ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::string& Path() const { return fPath; }

private:
    std::string fPath;
};

class TEnvOverride {
public:
    TEnvOverride(const char* AName, const std::string& AValue) : fName(AName) {
        if (const char* old = std::getenv(AName))
            fOld = old;
        Set(AName, AValue.c_str());
    }
    ~TEnvOverride() { Set(fName, fOld ? fOld->c_str() : nullptr); }
    TEnvOverride(const TEnvOverride&) = delete;
    TEnvOverride& operator=(const TEnvOverride&) = delete;

private:
    // ANull removes the variable.
    static void Set(const char* AName, const char* AValue) {
#ifdef _WIN32
        _putenv_s(AName, AValue ? AValue : "");
#else
        if (AValue)
            setenv(AName, AValue, 1);
        else
            unsetenv(AName);
#endif
    }

    const char* fName;
    std::optional<std::string> fOld;
};

// One main window over the console toolkit and a simulated bus, its user data in a scratch folder.
struct TFormBench {
    TTempDir fData;
    TEnvOverride fXdg{"XDG_DATA_HOME", fData.Path()};
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};
    std::istringstream fIn;
    TCapture fOut;
    TCapture fErr;
    TConsoleToolkit fToolkit{fLoop, fIn, fOut.File(), fErr.File(), false};
    TForm1 fForm{fToolkit};

    std::string UserFolder() const { return fData.Path() + "/KelvoFwUpd"; }
};
