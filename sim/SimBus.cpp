#include "sim/SimBus.h"

#include "platform/WinError.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>

namespace {

std::string Lower(std::string AText) {
    for (char& c : AText)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return AText;
}

} // namespace

struct TSimBus::TState {
    struct TPlugged {
        std::shared_ptr<TSimBusDevice> Device;
        TGUID Class;
        std::string Path;
        uint32_t DetailError = 0;
    };
    struct TRegistration {
        TDeviceChangeSink* Sink;
        TGUID Class;
    };

    mutable std::mutex Mutex;
    std::vector<TPlugged> Plugged; // in plug order
    std::map<uintptr_t, TRegistration> Registrations;
    uintptr_t NextRegistration = 1;
    uint64_t NextDeviceNumber = 1;
    size_t QueuedReports = 0;
    uint32_t ClassDevsError = 0;
    uint32_t RegistrationError = 0;
    std::atomic<bool> GenericAvailable{true};

    TPlugged* Find(const TSimBusDevice& ADevice) {
        for (auto& p : Plugged)
            if (p.Device.get() == &ADevice)
                return &p;
        return nullptr;
    }
    bool IsRegistered(const TDeviceChangeSink* ASink, const TGUID& AClass) const {
        return std::any_of(Registrations.begin(), Registrations.end(),
                           [&](const auto& r) { return r.second.Sink == ASink && r.second.Class == AClass; });
    }
};

TSimBus::TSimBus(TEventLoop& ALoop) : fLoop(ALoop), fState(std::make_shared<TState>()) {}

TSimBus::~TSimBus() {
    {
        std::lock_guard lock(fTimerMutex);
        fTimerStop = true;
        fTimerWake.notify_all();
    }
    if (fTimer.joinable())
        fTimer.join();
}

void TSimBus::PostReports(uint32_t AEvent, const TGUID& AClass, const std::string& APath) {
    // One report per sink watching the class, as the system sends one message per window.
    std::vector<TDeviceChangeSink*> sinks;
    {
        std::lock_guard lock(fState->Mutex);
        for (const auto& [id, reg] : fState->Registrations)
            if (reg.Class == AClass && std::find(sinks.begin(), sinks.end(), reg.Sink) == sinks.end())
                sinks.push_back(reg.Sink);
        fState->QueuedReports += sinks.size();
    }
    const auto state = fState;
    for (TDeviceChangeSink* sink : sinks) {
        // Counts the report as queued until the loop starts running it or drops it.
        std::shared_ptr<void> queued(nullptr, [state](void*) {
            std::lock_guard lock(state->Mutex);
            --state->QueuedReports;
        });
        fLoop.Post([state, sink, AEvent, AClass, APath, queued]() mutable {
            queued.reset();
            bool registered;
            {
                std::lock_guard lock(state->Mutex);
                registered = state->IsRegistered(sink, AClass);
            }
            // A sink that unregistered after the event gets nothing, queued reports included.
            if (registered)
                sink->DeviceChange(AEvent, AClass, APath);
        });
    }
}

std::string TSimBus::Plug(std::shared_ptr<TSimBusDevice> ADevice) {
    if (!ADevice)
        return {};
    std::lock_guard plugLock(fPlugMutex);
    std::string path;
    TGUID cls = ADevice->InterfaceClass();
    {
        std::lock_guard lock(fState->Mutex);
        if (auto* present = fState->Find(*ADevice))
            return present->Path;
        path = "\\\\?\\usb#" + Lower(ADevice->PathName()) + "#sim" +
               std::to_string(fState->NextDeviceNumber++) + "#" + Lower(GuidToString(cls));
        fState->Plugged.push_back({ADevice, cls, path, 0});
    }
    ADevice->Attached(*this, path);
    for (const auto& [id, observer] : fPlugObservers)
        observer(ADevice, true);
    PostReports(DBT_DEVICEARRIVAL, cls, path);
    return path;
}

bool TSimBus::Unplug(const TSimBusDevice& ADevice) {
    std::lock_guard plugLock(fPlugMutex);
    TState::TPlugged gone;
    {
        std::lock_guard lock(fState->Mutex);
        auto it = std::find_if(fState->Plugged.begin(), fState->Plugged.end(),
                               [&](const TState::TPlugged& p) { return p.Device.get() == &ADevice; });
        if (it == fState->Plugged.end())
            return false;
        gone = std::move(*it);
        fState->Plugged.erase(it);
    }
    // The handles fail first, then the system reports the removal.
    gone.Device->Detached();
    for (const auto& [id, observer] : fPlugObservers)
        observer(gone.Device, false);
    PostReports(DBT_DEVICEREMOVECOMPLETE, gone.Class, gone.Path);
    return true;
}

void TSimBus::PlugAfter(std::shared_ptr<TSimBusDevice> ADevice, uint32_t AMilliseconds) {
    if (ADevice)
        Delay({std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds),
               std::move(ADevice),
               {}});
}

void TSimBus::RunAfter(std::function<void()> AAction, uint32_t AMilliseconds) {
    if (AAction)
        Delay({std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds), nullptr,
               std::move(AAction)});
}

void TSimBus::Delay(TDelayedPlug APlug) {
    std::lock_guard lock(fTimerMutex);
    if (fTimerStop)
        return;
    fDelayed.push_back(std::move(APlug));
    if (!fTimer.joinable())
        fTimer = std::thread([this] { TimerThread(); });
    fTimerWake.notify_all();
}

void TSimBus::TimerThread() {
    std::unique_lock lock(fTimerMutex);
    while (!fTimerStop) {
        if (fDelayed.empty()) {
            fTimerWake.wait(lock);
            continue;
        }
        auto first =
            std::min_element(fDelayed.begin(), fDelayed.end(),
                             [](const TDelayedPlug& a, const TDelayedPlug& b) { return a.Due < b.Due; });
        if (const auto due = first->Due; std::chrono::steady_clock::now() < due) {
            // A copy: the list may grow (and move) while we sleep.
            fTimerWake.wait_until(lock, due);
            continue;
        }
        TDelayedPlug due = std::move(*first);
        fDelayed.erase(first);
        fPlugging = true;
        lock.unlock();
        if (due.Action)
            due.Action();
        else
            Plug(std::move(due.Device));
        lock.lock();
        fPlugging = false;
    }
}

uint64_t TSimBus::AddPlugObserver(TPlugObserver AObserver) {
    std::lock_guard plugLock(fPlugMutex);
    std::vector<std::shared_ptr<TSimBusDevice>> present;
    {
        std::lock_guard lock(fState->Mutex);
        for (const auto& p : fState->Plugged)
            present.push_back(p.Device);
    }
    for (const auto& device : present)
        AObserver(device, true);
    fPlugObservers[fNextPlugObserver] = std::move(AObserver);
    return fNextPlugObserver++;
}

void TSimBus::RemovePlugObserver(uint64_t AId) {
    std::lock_guard plugLock(fPlugMutex);
    fPlugObservers.erase(AId);
}

std::string TSimBus::PathOf(const TSimBusDevice& ADevice) const {
    std::lock_guard lock(fState->Mutex);
    auto* present = fState->Find(ADevice);
    return present ? present->Path : std::string();
}

bool TSimBus::HasPendingReports() const {
    {
        std::lock_guard lock(fTimerMutex);
        if (!fDelayed.empty() || fPlugging)
            return true;
    }
    std::lock_guard lock(fState->Mutex);
    return fState->QueuedReports > 0;
}

void TSimBus::SetDetailError(const TSimBusDevice& ADevice, uint32_t AError) {
    std::lock_guard lock(fState->Mutex);
    if (auto* present = fState->Find(ADevice))
        present->DetailError = AError;
}

void TSimBus::SetClassDevsError(uint32_t AError) {
    std::lock_guard lock(fState->Mutex);
    fState->ClassDevsError = AError;
}

void TSimBus::SetRegistrationError(uint32_t AError) {
    std::lock_guard lock(fState->Mutex);
    fState->RegistrationError = AError;
}

void TSimBus::SetGenericDriverAvailable(bool AAvailable) {
    fState->GenericAvailable = AAvailable;
}

uint32_t TSimBus::GetClassDevs(const TGUID& AClass, std::vector<TUsbInterfaceEntry>& AMembers) {
    AMembers.clear();
    std::lock_guard lock(fState->Mutex);
    if (fState->ClassDevsError != 0)
        return fState->ClassDevsError;
    for (const auto& p : fState->Plugged)
        if (p.Class == AClass)
            AMembers.push_back({p.DetailError == 0 ? p.Path : std::string(), p.DetailError});
    return ERROR_SUCCESS;
}

uintptr_t TSimBus::RegisterDeviceNotification(TDeviceChangeSink* ASink, const TGUID& AClass,
                                              uint32_t& AError) {
    std::lock_guard lock(fState->Mutex);
    AError = ASink ? fState->RegistrationError : ERROR_INVALID_PARAMETER;
    if (AError != 0)
        return 0;
    const uintptr_t id = fState->NextRegistration++;
    fState->Registrations[id] = {ASink, AClass};
    return id;
}

void TSimBus::UnregisterDeviceNotification(uintptr_t ARegistration) {
    std::lock_guard lock(fState->Mutex);
    fState->Registrations.erase(ARegistration);
}

uint32_t TSimBus::Open(const std::string& APath, std::unique_ptr<TUsbHandle>& AHandle) {
    // Held across OpenHandle: a device is only opened while it is plugged in.
    std::lock_guard plugLock(fPlugMutex);
    std::shared_ptr<TSimBusDevice> device;
    {
        std::lock_guard lock(fState->Mutex);
        const std::string wanted = Lower(APath);
        for (const auto& p : fState->Plugged)
            if (Lower(p.Path) == wanted)
                device = p.Device;
    }
    if (!device)
        return ERROR_FILE_NOT_FOUND;
    return device->OpenHandle(AHandle);
}

bool TSimBus::GenericDriverAvailable() {
    return fState->GenericAvailable;
}
