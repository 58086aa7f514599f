#include "MyLib/KelvoDeviceClasses.h"

#include "MyLib/KelvoSerials.h"
#include "MyLib/KelvoUsbPulse.h"
#include "MyLib/KelvoUsbQV.h"
#include "MyLib/KelvoUsbSensor.h"
#include "MyLib/KelvoUsbStub.h"
#include "MyLib/KelvoUsbTarget.h"
#include "MyLib/KelvoUsbTrigger.h"

namespace {

template <class TDevice>
std::unique_ptr<TCommonKelvoUsbDevice> Create(TComponent* AOwner, const std::string& APath) {
    return std::make_unique<TDevice>(AOwner, APath);
}

const struct {
    const TGUID& Class;
    std::unique_ptr<TCommonKelvoUsbDevice> (*Create)(TComponent* AOwner, const std::string& APath);
} KInterfaceClasses[] = {
    {GUID_KELVO_SENSOR, Create<TKelvoSensorUsbDevice>},
    {GUID_KELVO_PULSE, Create<TKelvoPulseUsbDevice>},
    {GUID_KELVO_TRIGGER, Create<TKelvoTriggerUsbDevice>},
    {GUID_KELVO_QV, Create<TKelvoUsbQVSensor>},
    {GUID_KELVO_USB_STUB, Create<TKelvoStubUSBDevice>},
    {GUID_KELVO_TARGET_CONTROLLER, Create<TKelvoTargetUsbDevice>},
};

} // namespace

std::unique_ptr<TCommonKelvoUsbDevice> CreateKelvoDevice(const TGUID& AClass, TComponent* AOwner,
                                                         const std::string& APath) {
    for (const auto& entry : KInterfaceClasses)
        if (entry.Class == AClass)
            return entry.Create(AOwner, APath);
    return nullptr;
}
