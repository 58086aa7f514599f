#pragma once
// The family's products by USB product id, in one table: the interface class their firmware is
// published under, the names of their firmware images and of their bootloaders by hardware
// version, and the hardware version a bootloader that does not know its own is taken to have.
#include "platform/Guid.h"

#include <cstdint>
#include <string>
#include <vector>

// A name for the hardware versions AFrom to ATo.
struct TKelvoHardwareName {
    uint16_t From;
    uint16_t To;
    const char* Name;
};

// How a bootloader that reports no hardware version is taken: as reported, as a fixed version, or
// from its processor.
enum class TKelvoStubHardware { Reported, Fixed, ByProcessor };

struct TKelvoProduct {
    uint16_t ProductId;
    const TGUID* InterfaceClass; // none for the products no driver publishes alone (the targets)
    std::vector<TKelvoHardwareName> FirmwareNames;
    std::vector<TKelvoHardwareName> StubNames;
    TKelvoStubHardware StubHardware = TKelvoStubHardware::Reported;
    uint16_t StubFixedHardware = 0;
};

// The row of AProductId; nullptr for an unknown product.
const TKelvoProduct* FindKelvoProduct(uint16_t AProductId);
// The name of AVersionHW among ANames; "" when none covers it.
std::string HardwareName(const std::vector<TKelvoHardwareName>& ANames, uint16_t AVersionHW);
