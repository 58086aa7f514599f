#include "app/RealUsbBus.h"

#include "app/Unit1.h"
#include "platform/Folders.h"
#include "platform/IniFile.h"
#include "platform/NumberText.h"

#include <iostream>

std::optional<uint16_t> ParseUsbVendorId(const std::string& AText) {
    const auto value = ParseNumber(AText, 0xFFFF);
    if (!value || *value == 0)
        return std::nullopt;
    return uint16_t(*value);
}

std::string UsbSettingsFile() {
    return UserDataFolder() + "/" + UserFolderName + "/settings.ini";
}

uint16_t UsbVendorIdSetting(std::optional<uint16_t> ACommandLine, const std::string& ASettingsFile,
                            std::string& ANote) {
    if (ACommandLine)
        return *ACommandLine;
    const std::string text = TIniFile(ASettingsFile).ReadString("Usb", "VendorId", "");
    if (text.empty())
        return DefaultUsbVendorId;
    if (const auto vendorId = ParseUsbVendorId(text))
        return *vendorId;
    // The value is echoed cut short: the file may hold anything.
    ANote = ASettingsFile + ": [Usb] VendorId \"" + text.substr(0, 40) + (text.size() > 40 ? "..." : "") +
            "\" is not a vendor id 1-65535 (decimal or 0x hexadecimal); using 0x" + Hex4(DefaultUsbVendorId);
    return DefaultUsbVendorId;
}

std::unique_ptr<TUsbBus> FrontEndUsbBus(TEventLoop& ALoop, std::optional<uint16_t> AVendorId,
                                        const std::string& AProgram, std::string& ASettingsError) {
    uint16_t vendorId = DefaultUsbVendorId;
    try {
        std::string note;
        vendorId = UsbVendorIdSetting(AVendorId, UsbSettingsFile(), note);
        if (!note.empty())
            std::cerr << AProgram << ": " << note << "\n";
    } catch (const EIniFileError& e) {
        ASettingsError = e.what();
        return nullptr;
    }
    std::string error;
    auto bus = CreateRealUsbBus(
        ALoop, vendorId,
        [AProgram](const std::string& AProblem) { std::cerr << AProgram << ": " << AProblem << "\n"; },
        error);
    if (!bus)
        std::cerr << AProgram << ": " << error << "\n";
    return bus;
}
