#pragma once
// The first wireless controller on a kelvo-trace bus, open; the one way the commands reach the radio.
// Its radio is powered by PowerOn and off again when it is closed.
#include "MyLib/KelvoUsbWireless1.h"

#include <memory>
#include <string>

class TTraceBus;

class TRadio {
public:
    // Opens the first wireless controller on ABus; std::runtime_error naming ACommand when there is
    // none or it does not open.
    TRadio(const std::string& ACommand, TTraceBus& ABus);
    // Closes the controller, which powers its radio off.
    ~TRadio();
    TRadio(const TRadio&) = delete;
    TRadio& operator=(const TRadio&) = delete;

    // std::runtime_error when the controller does not power its radio.
    void PowerOn();
    TKelvoWireless& Controller() { return *fController; }

private:
    std::string fCommand;
    std::unique_ptr<TKelvoWireless> fController;
};
