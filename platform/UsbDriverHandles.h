#pragma once
// The two kinds of TUsbHandle, each refusing the other driver's calls in one place: a handle bound
// to the family's own driver answers no generic-driver call, and one bound to the generic driver
// answers no family-driver call, as the system's drivers refuse them.
#include "platform/UsbBus.h"

// Bound to the family's driver: InitializeGeneric fails with ERROR_INVALID_FUNCTION, the other
// generic-driver calls with ERROR_INVALID_HANDLE, transferring nothing.
class TFamilyDriverHandle : public TUsbHandle {
public:
    TUsbDriverKind DriverKind() const final { return TUsbDriverKind::Family; }
    uint32_t InitializeGeneric() final;
    uint32_t ControlTransfer(const TUsbSetupPacket& ASetup, void* ABuffer, uint32_t ABufferLength,
                             uint32_t& ATransferred) final;
    uint32_t GetDescriptor(uint8_t AType, uint8_t AIndex, uint16_t ALanguage, void* ABuffer, uint32_t ALength,
                           uint32_t& ATransferred) final;
    uint32_t QueryInterfaceSettings(uint8_t AAlternateSetting, TUsbInterfaceDescriptor& ADescriptor) final;
    uint32_t QueryPipe(uint8_t AAlternateSetting, uint8_t APipeIndex, TUsbPipeInformation& APipe) final;
    uint32_t SetPipePolicy(uint8_t APipeId, uint32_t APolicyType, uint32_t AValue) final;
    uint32_t ResetPipe(uint8_t APipeId) final;
    uint32_t AbortPipe(uint8_t APipeId) final;
    uint32_t SubmitPipeRead(uint8_t APipeId, void* ABuffer, uint32_t ASize, uintptr_t ATag,
                            uint32_t& ATransferred) final;
    bool WaitPipeRead(uint8_t APipeId, uintptr_t& ATag, uint32_t& ATransferred, uint32_t& AResult) final;
};

// Bound to the generic driver: the family-driver calls fail with ERROR_INVALID_FUNCTION, and a
// stream read has nothing to cancel.
class TGenericDriverHandle : public TUsbHandle {
public:
    TUsbDriverKind DriverKind() const final { return TUsbDriverKind::Generic; }
    uint32_t IoControl(uint32_t ACode, const void* AIn, uint32_t AInSize, void* AOut, uint32_t AOutSize,
                       uint32_t& AReturned) final;
    std::shared_ptr<TUsbPendingIo> IoControlAsync(uint32_t ACode, const void* AIn, uint32_t AInSize,
                                                  uint32_t AOutSize) final;
    uint32_t ReadStream(void* ABuffer, uint32_t ASize, uint32_t& ARead) final;
    void CancelStreamRead() final {}
};
