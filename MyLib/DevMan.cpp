#include "MyLib/DevMan.h"

#include "MyLib/devintf.h"
#include "platform/System.h"

TDeviceNotifier::TDeviceNotifier(TComponent* AOwner) : TComponent(AOwner), fBus(UsbBus()) {}

TDeviceNotifier::~TDeviceNotifier() {
    for (auto it = fNotifiers.rbegin(); it != fNotifiers.rend(); ++it)
        if (it->hDevNotify != 0) {
            fBus.UnregisterDeviceNotification(it->hDevNotify);
            it->hDevNotify = 0;
        }
    fNotifiers.clear();
}

bool TDeviceNotifier::Register(TNotifierRecord ARecord) {
    uint32_t error = 0;
    ARecord.hDevNotify = fBus.RegisterDeviceNotification(this, ARecord.GUID, error);
    fLastError = int(error);
    if (ARecord.hDevNotify == 0)
        return false;
    fNotifiers.push_back(std::move(ARecord));
    return true;
}

bool TDeviceNotifier::AddInterface(const TGUID& AGuid) {
    TNotifierRecord record;
    record.GUID = AGuid;
    record.fOnInsertObj = fOnInsertObj;
    record.fOnRemoveObj = fOnRemoveObj;
    return Register(std::move(record));
}

bool TDeviceNotifier::AddInterface(const TGUID& AGuid, TDeviceNotifyObj AOnInsertObj,
                                   TDeviceNotifyObj AOnRemoveObj) {
    TNotifierRecord record;
    record.GUID = AGuid;
    record.fOnInsertObj = std::move(AOnInsertObj);
    record.fOnRemoveObj = std::move(AOnRemoveObj);
    return Register(std::move(record));
}

bool TDeviceNotifier::AddInterface(const TGUID& AGuid, TDeviceNotify AOnInsert, TDeviceNotify AOnRemove) {
    TNotifierRecord record;
    record.GUID = AGuid;
    record.fOnInsert = AOnInsert;
    record.fOnRemove = AOnRemove;
    return Register(std::move(record));
}

bool TDeviceNotifier::Dispatch(size_t AIndex, bool AArrival, const TGUID& AGuid, const std::string& APath) {
    TNotifierRecord& record = fNotifiers[AIndex];
    if (record.Inserting || record.Removing)
        return false; // re-entry for a record that is busy: the report is dropped
    // The handler is copied: it may reassign the very handler that is running.
    TDeviceNotifyObj handler;
    if (const auto& own = AArrival ? record.fOnInsertObj : record.fOnRemoveObj)
        handler = own;
    else if (auto plain = AArrival ? record.fOnInsert : record.fOnRemove)
        handler = plain;
    else
        handler = AArrival ? fOnInsertObj : fOnRemoveObj;

    bool& busy = AArrival ? record.Inserting : record.Removing;
    busy = true;
    struct TClear {
        bool& Flag;
        ~TClear() { Flag = false; }
    } clear{busy};
    if (handler)
        handler(this, AGuid, APath);
    return true;
}

void TDeviceNotifier::DeviceChange(uint32_t AEvent, const TGUID& AClass, const std::string& APath) {
    if (AEvent != DBT_DEVICEARRIVAL && AEvent != DBT_DEVICEREMOVECOMPLETE)
        return;
    for (size_t i = 0; i < fNotifiers.size(); ++i) {
        if (fNotifiers[i].GUID != AClass)
            continue;
        try {
            Dispatch(i, AEvent == DBT_DEVICEARRIVAL, AClass, APath);
        } catch (...) {
            // A failing handler must not take the report's caller (the event loop) down.
        }
        return; // only the first registration of a class is ever asked
    }
}

void TDeviceNotifier::FindDevices() {
    // Indexed: a handler may add registrations while the scan runs.
    for (size_t i = 0; i < fNotifiers.size(); ++i) {
        const TGUID guid = fNotifiers[i].GUID;
        bool first = true;
        for (size_t j = 0; j < i && first; ++j)
            first = fNotifiers[j].GUID != guid;
        if (!first)
            continue; // a repeated registration would report the same devices twice
        const TUsbDeviceEnumerator devices(guid);
        for (int d = 0; d < devices.Count(); ++d)
            Dispatch(i, true, guid, devices.DeviceInfo(d).fPath);
    }
}
