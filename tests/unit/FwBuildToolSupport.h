#pragma once
// Runs the built kelvo-fwbuild program and collects its exit status and output.
#include "FirmwareSamples.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <vector>

struct TToolRun {
    int Status = -1;
    std::string Out, Err;
};

inline std::string ShellQuoted(const std::string& AText) {
    std::string q = "'";
    for (char c : AText)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// AShell, when given, comes before the program in the shell command (a pipe into it, or limits
// set first); without it the program reads an empty standard input.
inline TToolRun RunTool(const std::vector<std::string>& AArgs, const std::string& AShell = "") {
    TScratchFile out("tool-out"), err("tool-err");
    std::string command = AShell + ShellQuoted(KELVO_FWBUILD_PATH);
    for (const auto& a : AArgs) {
        command += ' ';
        command += ShellQuoted(a);
    }
    command += " >";
    command += out.Path();
    command += " 2>";
    command += err.Path();
    if (AShell.empty())
        command += " </dev/null";
    TToolRun run;
    int raw = std::system(command.c_str());
    run.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    auto text = [](const TScratchFile& AFile) {
        std::vector<uint8_t> b = AFile.Read();
        return std::string(b.begin(), b.end());
    };
    run.Out = text(out);
    run.Err = text(err);
    return run;
}

template <typename T> void WriteRaw(const TScratchFile& AFile, const T& AValue) {
    const auto* p = reinterpret_cast<const uint8_t*>(&AValue);
    AFile.Write(std::vector<uint8_t>(p, p + sizeof AValue));
}

inline void WriteText(const TScratchFile& AFile, const std::string& AText) {
    AFile.Write(std::vector<uint8_t>(AText.begin(), AText.end()));
}

// TI-TXT of the bytes of AMemory in [AFrom, ATo), 16 per line.
inline std::string ToTiTxt(const TMSP430Memory& AMemory, std::size_t AFrom, std::size_t ATo) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&AMemory);
    std::string text;
    char buf[32];
    std::snprintf(buf, sizeof buf, "@%04zX\n", AFrom);
    text += buf;
    for (std::size_t a = AFrom; a < ATo; ++a) {
        std::snprintf(buf, sizeof buf, "%02X%c", bytes[a],
                      (a - AFrom) % 16 == 15 || a + 1 == ATo ? '\n' : ' ');
        text += buf;
    }
    return text + "q\n";
}

// Intel HEX of the same range, 32 bytes a record, with an extended linear address record first.
inline std::string ToIntelHex(const TMSP430Memory& AMemory, std::size_t AFrom, std::size_t ATo) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&AMemory);
    std::string text = ":020000040000FA\n";
    char buf[32];
    for (std::size_t a = AFrom; a < ATo; a += 32) {
        std::size_t n = std::min<std::size_t>(32, ATo - a);
        uint8_t sum = uint8_t(n + (a >> 8) + (a & 0xFF));
        std::snprintf(buf, sizeof buf, ":%02zX%04zX00", n, a);
        text += buf;
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(buf, sizeof buf, "%02X", bytes[a + i]);
            text += buf;
            sum = uint8_t(sum + bytes[a + i]);
        }
        std::snprintf(buf, sizeof buf, "%02X\n", uint8_t(0x100 - sum));
        text += buf;
    }
    return text + ":00000001FF\n";
}
