#include "sim/SimSensorCommandReceiver.h"

namespace {

// The longest command: code, length byte and 255 data bytes, two nibbles each.
constexpr size_t KMaxNibbles = 2 * (2 + 255);

} // namespace

std::optional<uint8_t> TSimSensorCommandReceiver::SymbolOf(uint8_t ACode1, uint8_t ACode2) {
    if (ACode1 < 10 || ACode2 > 30 || ACode1 % 2 || ACode2 % 2 || ACode1 >= ACode2)
        return std::nullopt;
    const int i = (ACode1 - 10) / 2, j = (ACode2 - 10) / 2;
    // Row i starts after the 10, 9, ... pairs of the rows before it.
    return uint8_t(i * 10 - i * (i - 1) / 2 + (j - i - 1));
}

TSimSymbolEcho TSimSensorCommandReceiver::Abandon() {
    fActive = false;
    fNibbles.clear();
    ++fAbandoned;
    return {1, KIdle};
}

std::optional<TSimSymbolEcho> TSimSensorCommandReceiver::See(uint8_t ASymbol,
                                                             std::optional<std::vector<uint8_t>>& ACommand) {
    ACommand.reset();
    if (ASymbol == KStart) {
        fActive = true;
        fNibbles.clear();
        return TSimSymbolEcho{2, ASymbol};
    }
    if (!fActive)
        return std::nullopt; // between commands only a start means anything
    if (ASymbol == KIdle)
        return Abandon();
    if (ASymbol == KEnd) {
        // Whole bytes, a code and a length byte that counts exactly the data that came.
        std::vector<uint8_t> bytes;
        for (size_t n = 0; n + 1 < fNibbles.size(); n += 2)
            bytes.push_back(uint8_t(fNibbles[n] | fNibbles[n + 1] << 4));
        if (fNibbles.size() % 2 || bytes.size() < 2 || bytes[1] != bytes.size() - 2)
            return Abandon();
        fActive = false;
        fNibbles.clear();
        ACommand = std::move(bytes);
        return TSimSymbolEcho{1, KEnd};
    }
    if (ASymbol < 16) {
        if (fNibbles.size() == KMaxNibbles)
            return Abandon();
        fNibbles.push_back(ASymbol);
    }
    // The separator and symbols outside the protocol are echoed too; the host abandons on a mismatch.
    return TSimSymbolEcho{2, ASymbol};
}
