#include "MyLib/devintf.h"

#include "platform/System.h"
#include "platform/WinError.h"

TDeviceInterfaceClass::TDeviceInterfaceClass(const TGUID& AGuid, uint32_t& AStatus) : m_Guid(AGuid) {
    AStatus = ERROR_INVALID_PARAMETER;
    try {
        std::vector<TUsbInterfaceEntry> members;
        AStatus = UsbBus().GetClassDevs(m_Guid, members);
        if (AStatus == ERROR_SUCCESS)
            m_hInfo = std::move(members);
    } catch (...) {
        // The set stays invalid and the status says why: the call itself failed.
        m_hInfo.reset();
        AStatus = ERROR_INVALID_PARAMETER;
    }
}

const TUsbInterfaceEntry* TDeviceInterfaceClass::Member(uint32_t AIndex) const {
    if (!m_hInfo || AIndex >= m_hInfo->size())
        return nullptr;
    return &(*m_hInfo)[AIndex];
}

TDeviceInterface::TDeviceInterface(const TDeviceInterfaceClass& AClassObject, uint32_t AIndex,
                                   uint32_t& AError)
    : m_Class(AClassObject) {
    AError = ERROR_INVALID_PARAMETER;
    const TUsbInterfaceEntry* member = m_Class.Member(AIndex);
    if (!member) {
        AError = m_Class.Valid() ? ERROR_NO_MORE_ITEMS : ERROR_INVALID_HANDLE;
        return;
    }
    AError = member->DetailError;
    if (AError == ERROR_SUCCESS)
        m_Detail = member->Path;
}

TUsbDeviceEnumerator::TUsbDeviceEnumerator(const TGUID& AGUID) : fGuid(AGUID) {
    EnumDevices();
}

void TUsbDeviceEnumerator::EnumDevices() {
    fDevices.clear();
    uint32_t status;
    const TDeviceInterfaceClass set(fGuid, status);
    if (status != ERROR_SUCCESS)
        return;
    // A 32-bit member index: a set can never wrap the counter back to its first member.
    for (uint32_t index = 0;; ++index) {
        uint32_t error;
        const TDeviceInterface member(set, index, error);
        if (error != ERROR_SUCCESS)
            break;
        auto info = std::make_unique<TUsbDeviceInfo>();
        info->fGuid = fGuid;
        info->fPath = member.DevicePath();
        info->fIndex = index;
        fDevices.push_back(std::move(info));
    }
}
