// The real bus on Windows: the device interfaces the system's drivers present, found by interface
// class GUID through SetupAPI. The drivers decide which devices are the family's, so the vendor id
// setting plays no part here.
#include "app/RealUsbBus.h"

#include "MyLib/KelvoSerials.h"
#include "app/DeviceList.h"
#include "app/Unit1.h"
#include "platform/NumberText.h"
#include "platform/win32/Win32UsbBus.h"

#include <cctype>

namespace {

// The product id a USB device path names ("\\?\usb#vid_1209&pid_0101#..."), 0 when it names none.
uint16_t ProductIdOfPath(const std::string& APath) {
    std::string lower = APath;
    for (char& c : lower)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    const size_t at = lower.find("&pid_");
    if (at == std::string::npos || at + 9 > lower.size())
        return 0;
    const auto value = ParseNumber("0x" + lower.substr(at + 5, 4), 0xFFFF);
    return value ? uint16_t(*value) : 0;
}

} // namespace

std::unique_ptr<TUsbBus> CreateRealUsbBus(TEventLoop& ALoop, uint16_t,
                                          std::function<void(const std::string&)>, std::string&) {
    return std::make_unique<TWin32UsbBus>(ALoop);
}

std::vector<TListedDevice> ListRealUsbDevices(TUsbBus& ABus) {
    std::vector<TListedDevice> listed;
    for (const TGUID* cls : TForm1::RegisteredClasses()) {
        std::vector<TUsbInterfaceEntry> members;
        if (ABus.GetClassDevs(*cls, members) != ERROR_SUCCESS)
            continue;
        for (const TUsbInterfaceEntry& member : members) {
            // As the library's own enumeration: a member whose path cannot be read ends the class.
            if (member.DetailError != ERROR_SUCCESS)
                break;
            TListedDevice device;
            device.Path = member.Path;
            device.ProductId = ProductIdOfPath(member.Path);
            device.Class = *cls;
            std::unique_ptr<TUsbHandle> handle;
            if (ABus.Open(member.Path, handle) == ERROR_SUCCESS)
                device.Driver = handle->DriverKind();
            handle.reset();
            device.Serial = ReadListedSerial(*cls, member.Path);
            listed.push_back(std::move(device));
        }
    }
    return listed;
}
