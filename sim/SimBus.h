#pragma once
// The simulated USB bus: devices are plugged in and pulled out from any thread, and the bus
// behaves towards the device library as the operating system does: a snapshot enumeration in
// plug order, arrival and removal reports posted to the main loop, and Open by device path.
// Plug, Unplug and Open run one at a time; a device calls Plug or Unplug (dropping off the bus)
// without holding a lock of its own that its OpenHandle, Attached or Detached also takes.
#include "platform/EventLoop.h"
#include "platform/UsbBus.h"
#include "sim/SimBusDevice.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TSimBus : public TUsbBus {
public:
    // Reports go to ALoop, which must outlive the bus.
    explicit TSimBus(TEventLoop& ALoop);
    // Cancels pending delayed plugs. Devices still plugged in are not detached.
    ~TSimBus() override;
    TSimBus(const TSimBus&) = delete;
    TSimBus& operator=(const TSimBus&) = delete;

    // Any thread: makes ADevice present under a new path, tells it (Attached) and posts an arrival
    // report. The bus keeps the device alive while it is plugged in. A device already plugged in
    // keeps its path and no report is made. Returns the path.
    std::string Plug(std::shared_ptr<TSimBusDevice> ADevice);
    // Any thread: removes ADevice, tells it (Detached, so its handles fail from now on) and posts a
    // removal report. False when it was not plugged in.
    bool Unplug(const TSimBusDevice& ADevice);
    // Plugs ADevice in after AMilliseconds, from the bus's own timer thread.
    void PlugAfter(std::shared_ptr<TSimBusDevice> ADevice, uint32_t AMilliseconds);
    // Runs AAction after AMilliseconds on the same timer thread, as a device's own later doing (a
    // part behind it coming back); it counts as a pending report until it has run.
    void RunAfter(std::function<void()> AAction, uint32_t AMilliseconds);
    // The device's current path, or "" when it is not plugged in.
    std::string PathOf(const TSimBusDevice& ADevice) const;
    // Any thread: whether an arrival or removal report is still queued, or a delayed plug waits.
    bool HasPendingReports() const;
    // Any thread: AObserver hears of every plug (APlugged true, once the device is attached) and
    // unplug (false, once it is detached), in order, on the thread that made it and under the bus's
    // plug lock, so it must not plug or unplug itself. Devices plugged in already are told at once.
    using TPlugObserver = std::function<void(const std::shared_ptr<TSimBusDevice>& ADevice, bool APlugged)>;
    uint64_t AddPlugObserver(TPlugObserver AObserver);
    void RemovePlugObserver(uint64_t AId);

    // Test controls. The detail of ADevice's member reads with AError (0: readable again).
    void SetDetailError(const TSimBusDevice& ADevice, uint32_t AError);
    // GetClassDevs fails with AError (0: works again).
    void SetClassDevsError(uint32_t AError);
    // RegisterDeviceNotification fails with AError (0: works again).
    void SetRegistrationError(uint32_t AError);
    void SetGenericDriverAvailable(bool AAvailable);

    uint32_t GetClassDevs(const TGUID& AClass, std::vector<TUsbInterfaceEntry>& AMembers) override;
    uintptr_t RegisterDeviceNotification(TDeviceChangeSink* ASink, const TGUID& AClass,
                                         uint32_t& AError) override;
    void UnregisterDeviceNotification(uintptr_t ARegistration) override;
    uint32_t Open(const std::string& APath, std::unique_ptr<TUsbHandle>& AHandle) override;
    bool GenericDriverAvailable() override;

private:
    struct TState; // shared with queued reports, which may outlive the bus
    struct TDelayedPlug {
        std::chrono::steady_clock::time_point Due;
        std::shared_ptr<TSimBusDevice> Device;
        std::function<void()> Action; // instead of plugging a device
    };

    void Delay(TDelayedPlug APlug);
    void PostReports(uint32_t AEvent, const TGUID& AClass, const std::string& APath);
    void TimerThread();

    TEventLoop& fLoop;
    std::shared_ptr<TState> fState;
    // Plug and Unplug run one at a time, so a device's Attached and Detached never overlap.
    std::recursive_mutex fPlugMutex;
    std::map<uint64_t, TPlugObserver> fPlugObservers; // under fPlugMutex
    uint64_t fNextPlugObserver = 1;

    mutable std::mutex fTimerMutex;
    std::condition_variable fTimerWake;
    std::vector<TDelayedPlug> fDelayed;
    bool fPlugging = false; // the timer thread is plugging a device it took from fDelayed
    bool fTimerStop = false;
    std::thread fTimer;
};
