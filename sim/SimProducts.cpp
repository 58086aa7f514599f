#include "sim/SimProducts.h"

#include "platform/LittleEndian.h"

namespace {

struct TSimProductClass {
    uint16_t ProductId;
    const char* InterfaceClass;
};

// Product id -> interface class, as the family's drivers publish them.
const TSimProductClass KProductClasses[] = {
    {2, "{14EA0900-B960-11D7-AAEC-0090F5067976}"},  {5, "{22208D80-EAC3-11D7-AAEC-0090F5067976}"},
    {10, "{448A342C-4663-4C50-AB76-24A45DA27C03}"}, {19, "{448A342C-4663-4C50-AB76-24A45DA27C03}"},
    {14, "{8E42B302-E8EA-4AFC-994F-45F9C4F4C718}"}, {34, "{8E42B302-E8EA-4AFC-994F-45F9C4F4C718}"},
    {16, "{16E585C9-95BE-42CB-9753-AF6574759CA5}"}, {23, "{2F60BE07-4F40-4A1A-A03E-2DDD80D0A40A}"},
    {32, "{7D318304-5D35-11D2-9420-00105A075F6B}"}, {35, "{7D318304-5D35-11D2-9420-00105A075F6B}"},
    {48, "{F5A12869-DDF8-41F2-9021-9B56BFB4A79C}"}, {0x1F01, "{6DD29847-8B42-4AB4-AB06-4B9BF751334C}"},
};

} // namespace

const TGUID SIM_STUB_INTERFACE_CLASS = GuidFromString("{F4D2667F-49BB-478D-8B9D-9D83C4AA7A0F}");

TGUID SimInterfaceClassOf(uint16_t AProductId) {
    for (const TSimProductClass& entry : KProductClasses)
        if (entry.ProductId == AProductId)
            return GuidFromString(entry.InterfaceClass);
    return TGUID{};
}

std::vector<uint8_t> SimDeviceDescriptorBytes(const TSimDeviceIdentity& AIdentity) {
    // Vendor-specific class; manufacturer, product and serial strings; one configuration.
    std::vector<uint8_t> d = {18,
                              1,
                              0,
                              0,
                              0xFF,
                              AIdentity.DeviceSubClass,
                              AIdentity.DeviceProtocol,
                              AIdentity.MaxPacketSize0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              1,
                              2,
                              3,
                              1};
    PutLE16(&d[2], AIdentity.BcdUsb);
    PutLE16(&d[8], AIdentity.VendorId);
    PutLE16(&d[10], AIdentity.ProductId);
    PutLE16(&d[12], AIdentity.BcdDevice);
    return d;
}

std::vector<uint8_t> SimInterfaceDescriptorBytes(uint8_t AEndpointCount) {
    return {9, 4, 0, 0, AEndpointCount, 0xFF, 0x00, 0x00, 0};
}

std::vector<uint8_t> SimConfigurationDescriptorBytes(const std::vector<TSimPipe>& APipes) {
    uint16_t total = uint16_t(9 + 9 + 7 * APipes.size());
    std::vector<uint8_t> d = {9, 2, 0, 0, 1, 1, 0, 0x80, 50}; // one interface, bus powered, 100 mA
    PutLE16(&d[2], total);
    auto iface = SimInterfaceDescriptorBytes(uint8_t(APipes.size()));
    d.insert(d.end(), iface.begin(), iface.end());
    for (const TSimPipe& pipe : APipes) {
        d.insert(d.end(), {7, 5, pipe.Address, pipe.Attributes, 0, 0, pipe.Interval});
        PutLE16(&d[d.size() - 3], pipe.MaxPacketSize);
    }
    return d;
}
