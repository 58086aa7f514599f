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
#include <sstream>
#include <string>

class TCapture {
public:
    TCapture() : fFile(open_memstream(&fData, &fSize)) {}
    ~TCapture() {
        std::fclose(fFile);
        std::free(fData);
    }
    TCapture(const TCapture&) = delete;
    TCapture& operator=(const TCapture&) = delete;
    std::FILE* File() { return fFile; }
    std::string Text() {
        std::fflush(fFile);
        return std::string(fData, fSize);
    }

private:
    char* fData = nullptr;
    size_t fSize = 0;
    std::FILE* fFile;
};

class TTempDir {
public:
    TTempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvo-test-XXXXXX").string();
        fPath = mkdtemp(pattern.data());
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
        setenv(AName, AValue.c_str(), 1);
    }
    ~TEnvOverride() {
        if (fOld)
            setenv(fName, fOld->c_str(), 1);
        else
            unsetenv(fName);
    }
    TEnvOverride(const TEnvOverride&) = delete;
    TEnvOverride& operator=(const TEnvOverride&) = delete;

private:
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
