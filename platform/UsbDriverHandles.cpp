#include "platform/UsbDriverHandles.h"

#include "platform/WinError.h"

namespace {

// A family-driver request on a generic-bound handle: failed before it starts.
class TRefusedIo : public TUsbPendingIo {
public:
    bool Wait(uint32_t) override { return true; }
    uint32_t Result(uint32_t& AReturned) override {
        AReturned = 0;
        return ERROR_INVALID_FUNCTION;
    }
    const std::vector<uint8_t>& Output() const override { return fOutput; }

private:
    std::vector<uint8_t> fOutput;
};

} // namespace

uint32_t TFamilyDriverHandle::InitializeGeneric() {
    return ERROR_INVALID_FUNCTION;
}

uint32_t TFamilyDriverHandle::ControlTransfer(const TUsbSetupPacket&, void*, uint32_t,
                                              uint32_t& ATransferred) {
    ATransferred = 0;
    return ERROR_INVALID_HANDLE;
}

uint32_t TFamilyDriverHandle::GetDescriptor(uint8_t, uint8_t, uint16_t, void*, uint32_t,
                                            uint32_t& ATransferred) {
    ATransferred = 0;
    return ERROR_INVALID_HANDLE;
}

uint32_t TFamilyDriverHandle::QueryInterfaceSettings(uint8_t, TUsbInterfaceDescriptor&) {
    return ERROR_INVALID_HANDLE;
}

uint32_t TFamilyDriverHandle::QueryPipe(uint8_t, uint8_t, TUsbPipeInformation&) {
    return ERROR_INVALID_HANDLE;
}

uint32_t TFamilyDriverHandle::SetPipePolicy(uint8_t, uint32_t, uint32_t) {
    return ERROR_INVALID_HANDLE;
}

uint32_t TFamilyDriverHandle::ResetPipe(uint8_t) {
    return ERROR_INVALID_HANDLE;
}

uint32_t TFamilyDriverHandle::AbortPipe(uint8_t) {
    return ERROR_INVALID_HANDLE;
}

uint32_t TFamilyDriverHandle::SubmitPipeRead(uint8_t, void*, uint32_t, uintptr_t, uint32_t& ATransferred) {
    ATransferred = 0;
    return ERROR_INVALID_HANDLE;
}

bool TFamilyDriverHandle::WaitPipeRead(uint8_t, uintptr_t&, uint32_t&, uint32_t&) {
    return false;
}

uint32_t TGenericDriverHandle::IoControl(uint32_t, const void*, uint32_t, void*, uint32_t,
                                         uint32_t& AReturned) {
    AReturned = 0;
    return ERROR_INVALID_FUNCTION;
}

std::shared_ptr<TUsbPendingIo> TGenericDriverHandle::IoControlAsync(uint32_t, const void*, uint32_t,
                                                                    uint32_t) {
    return std::make_shared<TRefusedIo>();
}

uint32_t TGenericDriverHandle::ReadStream(void*, uint32_t, uint32_t& ARead) {
    ARead = 0;
    return ERROR_INVALID_FUNCTION;
}
