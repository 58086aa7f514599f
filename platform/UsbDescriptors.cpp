#include "platform/UsbDescriptors.h"

#include "platform/UsbDescriptorWalk.h"
#include "platform/WinError.h"

std::string UsbDescriptorProblem(const std::vector<uint8_t>& ADevice, const std::vector<uint8_t>& AConfig) {
    if (ADevice.size() != USB_DEVICE_DESCRIPTOR_SIZE || ADevice[0] != USB_DEVICE_DESCRIPTOR_SIZE ||
        ADevice[1] != USB_DESCRIPTOR_DEVICE)
        return "its device descriptor is malformed";
    const uint8_t packet0 = ADevice[7];
    if (packet0 != 8 && packet0 != 16 && packet0 != 32 && packet0 != 64 && packet0 != 9)
        return "its device descriptor gives an impossible packet size";
    if (AConfig.size() < 9 || AConfig[0] != 9 || AConfig[1] != USB_DESCRIPTOR_CONFIGURATION ||
        std::size_t(AConfig[2] | AConfig[3] << 8) != AConfig.size())
        return "its configuration descriptor is malformed";
    bool interfaceZero = false;
    unsigned endpointsLeft = 0;
    TUsbDescriptorWalk d(AConfig, 9);
    for (; !d.AtEnd(); d.Advance()) {
        if (d.Type() == USB_DESCRIPTOR_INTERFACE) {
            if (d.Length() < USB_INTERFACE_DESCRIPTOR_SIZE || endpointsLeft)
                return "its interface descriptor is malformed";
            interfaceZero = interfaceZero || d[2] == 0;
            endpointsLeft = d[4];
        } else if (d.Type() == USB_DESCRIPTOR_ENDPOINT) {
            if (d.Length() < USB_ENDPOINT_DESCRIPTOR_SIZE || !endpointsLeft)
                return "its endpoint descriptor is malformed";
            if ((d[4] | (d[5] << 8)) == 0)
                return "an endpoint has no packet size";
            --endpointsLeft;
        }
    }
    if (d.Malformed())
        return "its configuration descriptor is malformed";
    if (!interfaceZero || endpointsLeft)
        return "its configuration descriptor lacks interface 0 or its endpoints";
    return "";
}

uint32_t UsbCheckWire(TUsbWire& AWire, uint32_t ATimeoutMs, std::string& AProblem) {
    const std::vector<uint8_t> config = AWire.ConfigurationDescriptor();
    AProblem = UsbDescriptorProblem(AWire.DeviceDescriptor(), config);
    if (!AProblem.empty())
        return AWire.Gone() ? (AProblem = "it has gone before it could be opened", ERROR_DEVICE_NOT_CONNECTED)
                            : ERROR_GEN_FAILURE;
    TUsbSetupPacket setup{USB_REQUEST_TYPE_DEVICE_IN, USB_REQUEST_GET_DESCRIPTOR, USB_DESCRIPTOR_DEVICE << 8,
                          0, USB_DEVICE_DESCRIPTOR_SIZE};
    std::vector<uint8_t> answer;
    uint32_t transferred = 0;
    const uint32_t result = UsbWireControl(AWire, setup, answer, ATimeoutMs, transferred);
    switch (result) {
    case ERROR_SUCCESS:
        AProblem = UsbDescriptorProblem(answer, config);
        return AProblem.empty() ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
    case ERROR_DEVICE_NOT_CONNECTED:
        AProblem = "it has gone before it could be opened";
        return result;
    case ERROR_GEN_FAILURE:
        AProblem = "it stalls a request for its device descriptor";
        return result;
    case ERROR_SEM_TIMEOUT:
        AProblem = "it does not answer a request for its device descriptor";
        return result;
    default:
        AProblem = "a request for its device descriptor fails (error " + std::to_string(result) + ")";
        return result;
    }
}
