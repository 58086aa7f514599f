#include "app/DeviceList.h"

#include "MyLib/CommonKelvoUsbDevice.h"
#include "MyLib/KelvoDeviceClasses.h"
#include "MyLib/KelvoSerials.h"
#include "platform/JsonText.h"

#include <memory>

namespace {

const char* BindingName(TUsbDriverKind ADriver) {
    return ADriver == TUsbDriverKind::Generic ? "generic" : "family";
}

} // namespace

std::string ReadListedSerial(const TGUID& AClass, const std::string& APath) {
    auto device = CreateKelvoDevice(AClass, nullptr, APath);
    TSerialNum serial = NoSerialNum;
    if (!device || !device->Open() || !device->GetSerialNum(&serial) || serial == NoSerialNum)
        return "";
    return SerialToStr(serial);
}

std::string DeviceListText(const std::vector<TListedDevice>& ADevices) {
    if (ADevices.empty())
        return "no devices found\n";
    std::string text;
    for (const TListedDevice& d : ADevices)
        text += d.Path + "  product " + std::to_string(d.ProductId) + "  class " + GuidToString(d.Class) +
                "  " + BindingName(d.Driver) + " driver  serial " +
                (d.Serial.empty() ? "unknown" : d.Serial) + "\n";
    return text;
}

std::string DeviceListJson(const std::vector<TListedDevice>& ADevices) {
    std::string json = "[";
    for (std::size_t i = 0; i < ADevices.size(); ++i) {
        const TListedDevice& d = ADevices[i];
        json += std::string(i ? ",\n " : "\n ") + "{\"path\": " + JsonString(d.Path) +
                ", \"productId\": " + std::to_string(d.ProductId) +
                ", \"interfaceClass\": " + JsonString(GuidToString(d.Class)) +
                ", \"binding\": " + JsonString(BindingName(d.Driver)) +
                ", \"serial\": " + (d.Serial.empty() ? "null" : JsonString(d.Serial)) + "}";
    }
    return json + (ADevices.empty() ? "]\n" : "\n]\n");
}
