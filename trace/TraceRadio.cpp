#include "trace/TraceRadio.h"

#include "MyLib/KelvoSerials.h"
#include "trace/TraceBus.h"

#include <stdexcept>

TRadio::TRadio(const std::string& ACommand, TTraceBus& ABus) : fCommand(ACommand) {
    const auto found = ABus.FindFirst({GUID_KELVO_WIRELESS});
    if (!found)
        throw std::runtime_error(ACommand + ": no wireless controller found");
    fController = std::make_unique<TKelvoWireless>(nullptr, found->fPath);
    if (!fController->Open())
        throw std::runtime_error(ACommand + ": cannot open the wireless controller");
}

TRadio::~TRadio() {
    fController->Close();
}

void TRadio::PowerOn() {
    if (!fController->TurnPowerOn())
        throw std::runtime_error(fCommand + ": the wireless controller does not power its radio");
}
