#pragma once
// TDeviceNotifier: tells the application when an interface of a registered interface class
// arrives or leaves, and reports at start-up the interfaces already present. Reports arrive on the
// main thread; each registration has its own handlers, with notifier-wide ones as the fallback.
#include "platform/Component.h"
#include "platform/Guid.h"
#include "platform/UsbBus.h"

#include <deque>
#include <functional>
#include <string>

class TDeviceNotifier;

// A handler bound to an object (any callable), and one as a plain function.
using TDeviceNotifyObj =
    std::function<void(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName)>;
using TDeviceNotify = void (*)(TDeviceNotifier* ASender, const TGUID& AGuid, const std::string& AName);

// One registration.
struct TNotifierRecord {
    TGUID GUID;
    uintptr_t hDevNotify = 0;
    TDeviceNotifyObj fOnInsertObj;
    TDeviceNotifyObj fOnRemoveObj;
    TDeviceNotify fOnInsert = nullptr;
    TDeviceNotify fOnRemove = nullptr;
    bool Removing = false;  // a removal handler of this record runs
    bool Inserting = false; // an arrival handler of this record runs
};
using PNotifierRecord = TNotifierRecord*;

class TDeviceNotifier : public TComponent, public TDeviceChangeSink {
public:
    // Registers through UsbBus(), which must outlive the notifier.
    explicit TDeviceNotifier(TComponent* AOwner);
    // Unregisters every record, last first.
    ~TDeviceNotifier() override;

    // Registers AGuid with copies of the notifier-wide handlers as they are now.
    bool AddInterface(const TGUID& AGuid);
    bool AddInterface(const TGUID& AGuid, TDeviceNotifyObj AOnInsertObj, TDeviceNotifyObj AOnRemoveObj);
    // Plain functions (a capture-less lambda needs a leading '+' to pick this form).
    bool AddInterface(const TGUID& AGuid, TDeviceNotify AOnInsert, TDeviceNotify AOnRemove);

    // Reports every present interface of every registered class as an arrival. Not guarded: an
    // exception from a handler ends the scan and reaches the caller.
    void FindDevices();

    // The bus's report (main thread). Handler exceptions are swallowed here.
    void DeviceChange(uint32_t AEvent, const TGUID& AClass, const std::string& APath) override;

    int LastError() const { return fLastError; }
    int NotifierCount() const { return int(fNotifiers.size()); }
    const TNotifierRecord& Notifier(int AIndex) const { return fNotifiers[size_t(AIndex)]; }

    // Notifier-wide handlers: the fallback of every registration.
    TDeviceNotifyObj fOnInsertObj;
    TDeviceNotifyObj fOnRemoveObj;

private:
    bool Register(TNotifierRecord ARecord);
    // Runs the chosen handler of record AIndex with its busy flag set; false when the record was
    // busy. The flag is cleared however the handler ends.
    bool Dispatch(size_t AIndex, bool AArrival, const TGUID& AGuid, const std::string& APath);

    TUsbBus& fBus;
    // A deque keeps records in place while a handler adds another registration.
    std::deque<TNotifierRecord> fNotifiers;
    int fLastError = 0;
};
