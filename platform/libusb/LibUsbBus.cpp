#include "platform/libusb/LibUsbBus.h"

#include "platform/UsbDescriptors.h"
#include "platform/UsbFamilyBinding.h"
#include "platform/UsbGenericBinding.h"
#include "platform/WinError.h"
#include "platform/libusb/LibUsbErrors.h"
#include "platform/libusb/LibUsbWire.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <unistd.h>

namespace {

constexpr auto KPollInterval = std::chrono::milliseconds(500);
// How long a device has to answer the check at open.
constexpr uint32_t KCheckTimeoutMs = 1000;
constexpr uint8_t KSubClassBootloader = 0x01;
constexpr uint8_t KProtocolGeneric = 0x01;

// A sysfs attribute as a number; nullopt when it is missing or not a number.
std::optional<unsigned long> ReadNumber(const std::filesystem::path& AFile, int ABase) {
    std::ifstream in(AFile);
    std::string text;
    if (!(in >> text) || text.empty())
        return std::nullopt;
    try {
        std::size_t used = 0;
        unsigned long value = std::stoul(text, &used, ABase);
        return used == text.size() ? std::optional(value) : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// "1-1.2": a device (not a root hub "usb1" or an interface "1-1.2:1.0").
bool IsDevicePort(const std::string& AName) {
    auto dash = AName.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == AName.size())
        return false;
    for (std::size_t i = 0; i < AName.size(); ++i)
        if (i != dash && !std::isdigit(static_cast<unsigned char>(AName[i])) &&
            !(i > dash && AName[i] == '.'))
            return false;
    return true;
}

std::string Lower(std::string AText) {
    for (char& c : AText)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return AText;
}

} // namespace

struct TLibUsbBus::TState : std::enable_shared_from_this<TState> {
    TEventLoop& Loop;
    TLibUsbBusOptions Options;
    libusb_context* Ctx = nullptr;
    libusb_hotplug_callback_handle Hotplug = 0;
    bool HasHotplug = false;
    std::thread EventThread;
    std::atomic<bool> Stop{false};
    std::atomic<bool> HotplugSeen{false};
    std::atomic<bool> RescanPosted{false};
    // The bus has gone (open wires may keep the rest alive): nothing is posted to its loop any more.
    std::atomic<bool> BusGone{false};

    struct TKnown {
        TLibUsbDeviceInfo Info;
        unsigned long BusNumber = 0;
        unsigned long DeviceNumber = 0;
        bool Same(const TKnown& AOther) const {
            return Info.Path == AOther.Info.Path && DeviceNumber == AOther.DeviceNumber;
        }
    };
    // Main thread only from here on.
    std::vector<TKnown> Known;
    struct TRegistration {
        TDeviceChangeSink* Sink;
        TGUID Class;
    };
    std::map<uintptr_t, TRegistration> Registrations;
    uintptr_t NextRegistration = 0;
    std::map<std::string, std::weak_ptr<TLibUsbWire>> Wires;
    std::map<std::string, std::shared_ptr<TUsbFamilyDriver>> Drivers; // by port
    std::set<std::string> Reported;                                   // problems already logged

    TState(TEventLoop& ALoop, TLibUsbBusOptions AOptions) : Loop(ALoop), Options(std::move(AOptions)) {}

    ~TState() {
        Stop = true;
        if (Ctx)
            libusb_interrupt_event_handler(Ctx);
        if (EventThread.joinable()) {
            // The last reference may go on the event thread itself (a wire closed in a completion).
            if (EventThread.get_id() == std::this_thread::get_id())
                EventThread.detach();
            else
                EventThread.join();
        }
        if (HasHotplug)
            libusb_hotplug_deregister_callback(Ctx, Hotplug);
        if (Ctx)
            libusb_exit(Ctx);
    }

    void ReportOnce(const std::string& AKey, const std::string& ALine) {
        if (Reported.insert(AKey).second && Options.Log)
            Options.Log(ALine);
    }

    std::vector<TKnown> Scan() {
        std::vector<TKnown> found;
        std::error_code error;
        std::vector<std::filesystem::path> entries;
        for (const auto& entry : std::filesystem::directory_iterator(Options.SysfsDevices, error))
            if (IsDevicePort(entry.path().filename().string()))
                entries.push_back(entry.path());
        std::sort(entries.begin(), entries.end());
        for (const auto& dir : entries) {
            auto vendor = ReadNumber(dir / "idVendor", 16);
            if (!vendor || *vendor != Options.VendorId)
                continue;
            auto product = ReadNumber(dir / "idProduct", 16);
            auto subClass = ReadNumber(dir / "bDeviceSubClass", 16);
            auto protocol = ReadNumber(dir / "bDeviceProtocol", 16);
            auto bus = ReadNumber(dir / "busnum", 10);
            auto device = ReadNumber(dir / "devnum", 10);
            const std::string port = dir.filename().string();
            if (!product || !subClass || !protocol || !bus || !device)
                continue; // still being set up, or gone while being read
            TKnown known;
            known.BusNumber = *bus;
            known.DeviceNumber = *device;
            TLibUsbDeviceInfo& info = known.Info;
            info.Port = port;
            info.ProductId = uint16_t(*product);
            info.Bootloader = *subClass == KSubClassBootloader;
            info.Driver = *protocol == KProtocolGeneric ? TUsbDriverKind::Generic : TUsbDriverKind::Family;
            info.Class = info.Bootloader ? Options.BootloaderClass
                                         : (Options.ClassOf ? Options.ClassOf(info.ProductId) : TGUID{});
            if (IsNullGuid(info.Class)) {
                ReportOnce(port + "#" + std::to_string(*device), "USB device " + port + ": product id " +
                                                                     std::to_string(info.ProductId) +
                                                                     " is not one this program updates");
                continue;
            }
            char ids[32];
            std::snprintf(ids, sizeof ids, "vid_%04x&pid_%04x", unsigned(Options.VendorId),
                          unsigned(info.ProductId));
            info.Path = std::string("\\\\?\\usb#") + ids + "#" + port + "#" + Lower(GuidToString(info.Class));
            found.push_back(std::move(known));
        }
        return found;
    }

    void Report(uint32_t AEvent, const TLibUsbDeviceInfo& AInfo) {
        auto registrations = Registrations;
        for (const auto& [id, registration] : registrations)
            if (registration.Class == AInfo.Class && Registrations.count(id))
                registration.Sink->DeviceChange(AEvent, AInfo.Class, AInfo.Path);
    }

    void Rescan() {
        std::vector<TKnown> now = Scan();
        std::vector<TKnown> gone;
        std::erase_if(Known, [&](const TKnown& AKnown) {
            bool present =
                std::any_of(now.begin(), now.end(), [&](const TKnown& N) { return N.Same(AKnown); });
            if (!present)
                gone.push_back(AKnown);
            return !present;
        });
        std::vector<TKnown> arrived;
        for (TKnown& candidate : now)
            if (std::none_of(Known.begin(), Known.end(), [&](const TKnown& K) { return K.Same(candidate); }))
                arrived.push_back(candidate);
        Known.insert(Known.end(), arrived.begin(), arrived.end());
        for (const TKnown& known : gone) {
            if (auto wire = Wires[known.Info.Path].lock())
                wire->MarkGone();
            Wires.erase(known.Info.Path);
            Report(DBT_DEVICEREMOVECOMPLETE, known.Info);
        }
        for (const TKnown& known : arrived)
            Report(DBT_DEVICEARRIVAL, known.Info);
    }

    void PostRescan() {
        if (BusGone || RescanPosted.exchange(true))
            return;
        Loop.Post([weak = weak_from_this()] {
            if (auto state = weak.lock()) {
                state->RescanPosted = false;
                state->Rescan();
            }
        });
    }

    static int HotplugEvent(libusb_context*, libusb_device*, libusb_hotplug_event, void* AState) {
        static_cast<TState*>(AState)->HotplugSeen = true;
        return 0;
    }

    void RunEvents(bool APolling) {
        auto nextPoll = std::chrono::steady_clock::now() + KPollInterval;
        while (!Stop) {
            timeval wait{0, 100000};
            libusb_handle_events_timeout_completed(Ctx, &wait, nullptr);
            if (HotplugSeen.exchange(false))
                PostRescan();
            if (APolling && std::chrono::steady_clock::now() >= nextPoll) {
                nextPoll += KPollInterval;
                PostRescan();
            }
        }
    }

    const TKnown* Find(const std::string& APath) const {
        for (const TKnown& known : Known)
            if (known.Info.Path == APath)
                return &known;
        return nullptr;
    }

    uint32_t OpenWire(const TKnown& AKnown, std::shared_ptr<TLibUsbWire>& AWire) {
        const std::string& path = AKnown.Info.Path;
        if (auto wire = Wires[path].lock(); wire && !wire->Gone()) {
            AWire = wire;
            return ERROR_SUCCESS;
        }
        const std::string key = AKnown.Info.Port + "#" + std::to_string(AKnown.DeviceNumber);
        char node[64];
        std::snprintf(node, sizeof node, "/%03lu/%03lu", AKnown.BusNumber, AKnown.DeviceNumber);
        int fd = ::open((Options.DevNodes + node).c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            if (errno == EACCES || errno == EPERM) {
                ReportOnce(
                    key,
                    "No permission to open the USB device at " + AKnown.Info.Port +
                        ": install the udev rules (60-kelvo-fwupd.rules, see README) and plug it in again");
                return ERROR_ACCESS_DENIED;
            }
            ReportOnce(key, "USB device " + AKnown.Info.Port + " has gone before it could be opened");
            return ERROR_FILE_NOT_FOUND;
        }
        libusb_device_handle* handle = nullptr;
        if (int error = libusb_wrap_sys_device(Ctx, intptr_t(fd), &handle)) {
            ::close(fd);
            ReportOnce(key,
                       "USB device " + AKnown.Info.Port + " cannot be opened: " + libusb_error_name(error));
            return LibUsbError(error);
        }
        std::string problem;
        uint32_t error = TLibUsbWire::Open(handle, fd, shared_from_this(), AWire, problem);
        if (error == ERROR_SUCCESS &&
            (error = UsbCheckWire(*AWire, KCheckTimeoutMs, problem)) != ERROR_SUCCESS)
            AWire.reset();
        if (error != ERROR_SUCCESS) {
            ReportOnce(key, "USB device " + AKnown.Info.Port + " cannot be used: " +
                                (problem.empty() ? "it does not answer (error " + std::to_string(error) + ")"
                                                 : problem));
            return error;
        }
        Wires[path] = AWire;
        return ERROR_SUCCESS;
    }
};

TLibUsbBus::TLibUsbBus(TEventLoop& ALoop, TLibUsbBusOptions AOptions)
    : fLoop(ALoop), fState(std::make_shared<TState>(ALoop, std::move(AOptions))) {}

uint32_t TLibUsbBus::Create(TEventLoop& ALoop, TLibUsbBusOptions AOptions,
                            std::unique_ptr<TLibUsbBus>& ABus) {
    std::unique_ptr<TLibUsbBus> bus(new TLibUsbBus(ALoop, std::move(AOptions)));
    TState& state = *bus->fState;
    if (int error = libusb_init(&state.Ctx)) {
        state.Ctx = nullptr;
        return LibUsbError(error);
    }
    // Debian's libusb hears of hotplug events through the udev daemon only.
    bool hotplug = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) && access("/run/udev/control", F_OK) == 0;
    if (hotplug)
        hotplug =
            libusb_hotplug_register_callback(
                state.Ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                LIBUSB_HOTPLUG_NO_FLAGS, state.Options.VendorId, LIBUSB_HOTPLUG_MATCH_ANY,
                LIBUSB_HOTPLUG_MATCH_ANY, &TState::HotplugEvent, &state, &state.Hotplug) == LIBUSB_SUCCESS;
    state.HasHotplug = hotplug;
    // A system without USB at all has nothing to look for; it is not told about the polling.
    std::error_code noUsb;
    if (!hotplug && state.Options.Log && std::filesystem::is_directory(state.Options.SysfsDevices, noUsb))
        state.Options.Log(
            "USB hotplug events are not available (no udev daemon): looking for devices every 500 ms");
    state.Known = state.Scan();
    state.EventThread = std::thread([raw = &state, hotplug] { raw->RunEvents(!hotplug); });
    ABus = std::move(bus);
    return ERROR_SUCCESS;
}

TLibUsbBus::~TLibUsbBus() {
    fState->BusGone = true;
}

uint32_t TLibUsbBus::GetClassDevs(const TGUID& AClass, std::vector<TUsbInterfaceEntry>& AMembers) {
    AMembers.clear();
    for (const auto& known : fState->Known)
        if (known.Info.Class == AClass)
            AMembers.push_back({known.Info.Path, ERROR_SUCCESS});
    return ERROR_SUCCESS;
}

uintptr_t TLibUsbBus::RegisterDeviceNotification(TDeviceChangeSink* ASink, const TGUID& AClass,
                                                 uint32_t& AError) {
    AError = ERROR_SUCCESS;
    uintptr_t id = ++fState->NextRegistration;
    fState->Registrations[id] = {ASink, AClass};
    return id;
}

void TLibUsbBus::UnregisterDeviceNotification(uintptr_t ARegistration) {
    fState->Registrations.erase(ARegistration);
}

uint32_t TLibUsbBus::Open(const std::string& APath, std::unique_ptr<TUsbHandle>& AHandle) {
    const TState::TKnown* known = fState->Find(APath);
    if (!known)
        return ERROR_FILE_NOT_FOUND;
    std::shared_ptr<TLibUsbWire> wire;
    if (uint32_t error = fState->OpenWire(*known, wire))
        return error;
    if (known->Info.Driver == TUsbDriverKind::Generic) {
        AHandle = MakeGenericHandle(wire, [] { return 0u; }); // the generic driver's default: no limit
    } else {
        auto& driver = fState->Drivers[known->Info.Port];
        if (!driver)
            driver = std::make_shared<TUsbFamilyDriver>();
        AHandle = MakeFamilyHandle(wire, driver);
    }
    return ERROR_SUCCESS;
}

std::vector<TLibUsbDeviceInfo> TLibUsbBus::Devices() const {
    std::vector<TLibUsbDeviceInfo> devices;
    for (const auto& known : fState->Known)
        devices.push_back(known.Info);
    return devices;
}

void TLibUsbBus::Rescan() {
    fState->Rescan();
}
