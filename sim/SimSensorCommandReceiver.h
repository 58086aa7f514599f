#pragma once
// The WD-03 family's side of the optical command channel: the sensor watches the modulation
// frequencies of the target it aims at, turns each new frequency pair into a symbol (0-54) and
// echoes it over the radio. Symbols 0-15 carry nibbles (low nibble first), 16 starts a command, 33
// separates two equal nibbles, 53 is idle and 54 ends a command. The receiver collects the bytes of
// one command and says what to echo; applying the command is the sensor's business.
#include <cstdint>
#include <optional>
#include <vector>

// One echo: type 2 repeats a symbol seen, type 1 with 54 confirms a command, type 1 with 53 says it
// was abandoned.
struct TSimSymbolEcho {
    uint8_t Type = 0;
    uint8_t Symbol = 0;
};

class TSimSensorCommandReceiver {
public:
    static constexpr uint8_t KStart = 16, KSeparator = 33, KIdle = 53, KEnd = 54;

    // The symbol of a frequency pair given in units of 100 Hz: (10 + 2i, 10 + 2j) with 0 <= i < j <= 10
    // is symbol number (i, j) in the order of i, then j. Any other pair is noise.
    static std::optional<uint8_t> SymbolOf(uint8_t ACode1, uint8_t ACode2);

    // The target's LEDs changed to this symbol: the echo to send, if any. ACommand receives the bytes
    // of a well-formed command (code, length, data) when this symbol ended it.
    std::optional<TSimSymbolEcho> See(uint8_t ASymbol, std::optional<std::vector<uint8_t>>& ACommand);
    uint64_t Abandoned() const { return fAbandoned; }

private:
    TSimSymbolEcho Abandon();

    bool fActive = false;
    std::vector<uint8_t> fNibbles;
    uint64_t fAbandoned = 0;
};
