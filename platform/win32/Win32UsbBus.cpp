#include "platform/win32/Win32UsbBus.h"

#include "platform/win32/Win32FamilyHandle.h"
#include "platform/win32/Win32Text.h"
#include "platform/win32/Win32WinUsbHandle.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <vector>

namespace {

// The longest path the system accepts, in UTF-16 units with its terminator.
constexpr size_t MaxPathUnits = 32768;
constexpr DWORD DetailHeader = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
constexpr DWORD BroadcastHeader = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
constexpr wchar_t WindowClassName[] = L"KelvoDeviceNotifierWindow";

GUID ToSystemGuid(const TGUID& AGuid) {
    GUID guid{AGuid.D1, AGuid.D2, AGuid.D3, {}};
    std::copy(std::begin(AGuid.D4), std::end(AGuid.D4), guid.Data4);
    return guid;
}

TGUID FromSystemGuid(const GUID& AGuid) {
    TGUID guid{AGuid.Data1, AGuid.Data2, AGuid.Data3, {}};
    std::copy(std::begin(AGuid.Data4), std::end(AGuid.Data4), guid.D4);
    return guid;
}

// The path in AUnits UTF-16 units at AText, up to its terminator; nothing when the units hold no
// terminator or only an empty text.
bool TerminatedPath(const wchar_t* AText, size_t AUnits, std::string& APath) {
    const size_t length = size_t(std::find(AText, AText + AUnits, L'\0') - AText);
    if (length == 0 || length == AUnits)
        return false;
    APath = WideToUtf8(std::wstring_view(AText, length));
    return true;
}

} // namespace

struct TWin32UsbBus::TState {
    struct TRegistration {
        TDeviceChangeSink* Sink;
        TGUID Class;
        HDEVNOTIFY Notify;
    };
    std::mutex Mutex;
    std::map<uintptr_t, TRegistration> Registrations;
    uintptr_t NextRegistration = 1;

    bool IsRegistered(const TDeviceChangeSink* ASink, const TGUID& AClass) {
        std::lock_guard lock(Mutex);
        return std::any_of(Registrations.begin(), Registrations.end(),
                           [&](const auto& r) { return r.second.Sink == ASink && r.second.Class == AClass; });
    }
};

std::shared_ptr<const TWin32Api> TWin32UsbBus::DefaultApi() {
    // The table is static; the pointer owns nothing.
    return std::shared_ptr<const TWin32Api>(std::shared_ptr<const TWin32Api>(), &DefaultWin32Api());
}

TWin32UsbBus::TWin32UsbBus(TEventLoop& ALoop, std::shared_ptr<const TWin32Api> AApi)
    : fLoop(ALoop), fApi(std::move(AApi)), fState(std::make_shared<TState>()) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = WindowClassName;
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        fWindowError = GetLastError();
        return;
    }
    hWnd = CreateWindowExW(0, WindowClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, this);
    if (!hWnd)
        fWindowError = GetLastError();
}

TWin32UsbBus::~TWin32UsbBus() {
    std::map<uintptr_t, TState::TRegistration> registrations;
    {
        std::lock_guard lock(fState->Mutex);
        registrations.swap(fState->Registrations);
    }
    for (const auto& [id, registration] : registrations)
        fApi->UnregisterDeviceNotification(registration.Notify);
    if (hWnd)
        DestroyWindow(hWnd);
}

LRESULT CALLBACK TWin32UsbBus::WindowProc(HWND AWindow, UINT AMessage, WPARAM AWParam, LPARAM ALParam) {
    if (AMessage == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(ALParam);
        SetWindowLongPtrW(AWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    } else if (AMessage == WM_DEVICECHANGE) {
        if (auto* bus = reinterpret_cast<TWin32UsbBus*>(GetWindowLongPtrW(AWindow, GWLP_USERDATA)))
            bus->DeviceChange(AWParam, ALParam);
        return TRUE;
    }
    return DefWindowProcW(AWindow, AMessage, AWParam, ALParam);
}

void TWin32UsbBus::DeviceChange(WPARAM AEvent, LPARAM ABroadcast) {
    if ((AEvent != DBT_DEVICEARRIVAL && AEvent != DBT_DEVICEREMOVECOMPLETE) || ABroadcast == 0)
        return;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(ABroadcast);
    // The size says how much of the block may be read: at least the class and one character of name.
    if (header->dbch_size < BroadcastHeader + sizeof(wchar_t) ||
        header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
        return;
    const auto* broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(ABroadcast);
    const size_t units =
        std::min<size_t>((header->dbch_size - BroadcastHeader) / sizeof(wchar_t), MaxPathUnits);
    std::string path;
    if (!TerminatedPath(broadcast->dbcc_name, units, path))
        return;
    const TGUID cls = FromSystemGuid(broadcast->dbcc_classguid);
    const uint32_t event = uint32_t(AEvent);

    // One report per sink watching the class, delivered on the main loop like every other event.
    std::vector<TDeviceChangeSink*> sinks;
    {
        std::lock_guard lock(fState->Mutex);
        for (const auto& [id, registration] : fState->Registrations)
            if (registration.Class == cls &&
                std::find(sinks.begin(), sinks.end(), registration.Sink) == sinks.end())
                sinks.push_back(registration.Sink);
    }
    for (TDeviceChangeSink* sink : sinks)
        fLoop.Post([state = fState, sink, event, cls, path] {
            // A sink that unregistered after the broadcast gets nothing, queued reports included.
            if (state->IsRegistered(sink, cls))
                sink->DeviceChange(event, cls, path);
        });
}

uint32_t TWin32UsbBus::GetClassDevs(const TGUID& AClass, std::vector<TUsbInterfaceEntry>& AMembers) {
    AMembers.clear();
    const GUID guid = ToSystemGuid(AClass);
    const HDEVINFO set =
        fApi->SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return fApi->GetLastError();
    // The members in the system's order; the first one that cannot be listed (the end, usually) ends it.
    for (DWORD index = 0; index <= 0xFFFF; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!fApi->SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data))
            break;
        TUsbInterfaceEntry entry;
        entry.DetailError = ReadDevicePath(set, data, entry.Path);
        AMembers.push_back(std::move(entry));
    }
    fApi->SetupDiDestroyDeviceInfoList(set);
    return ERROR_SUCCESS;
}

uint32_t TWin32UsbBus::ReadDevicePath(HDEVINFO ASet, SP_DEVICE_INTERFACE_DATA& AData, std::string& APath) {
    DWORD required = 0;
    if (fApi->SetupDiGetDeviceInterfaceDetailW(ASet, &AData, nullptr, 0, &required, nullptr))
        return ERROR_INVALID_DATA; // a detail cannot fit in no buffer at all
    if (const DWORD error = fApi->GetLastError(); error != ERROR_INSUFFICIENT_BUFFER)
        return error;
    if (required < DetailHeader + sizeof(wchar_t) || required > DetailHeader + MaxPathUnits * sizeof(wchar_t))
        return ERROR_INVALID_DATA;
    // DWORD-aligned, as the detail structure is.
    std::vector<DWORD> block((required + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(block.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!fApi->SetupDiGetDeviceInterfaceDetailW(ASet, &AData, detail, required, nullptr, nullptr))
        return fApi->GetLastError();
    if (!TerminatedPath(detail->DevicePath, (required - DetailHeader) / sizeof(wchar_t), APath))
        return ERROR_INVALID_DATA;
    return ERROR_SUCCESS;
}

uintptr_t TWin32UsbBus::RegisterDeviceNotification(TDeviceChangeSink* ASink, const TGUID& AClass,
                                                   uint32_t& AError) {
    if (!ASink || !hWnd) {
        AError = ASink ? fWindowError : ERROR_INVALID_PARAMETER;
        return 0;
    }
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = ToSystemGuid(AClass);
    const HDEVNOTIFY notify = fApi->RegisterDeviceNotificationW(hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!notify) {
        AError = fApi->GetLastError();
        if (AError == ERROR_SUCCESS)
            AError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    AError = ERROR_SUCCESS;
    std::lock_guard lock(fState->Mutex);
    const uintptr_t id = fState->NextRegistration++;
    fState->Registrations[id] = {ASink, AClass, notify};
    return id;
}

void TWin32UsbBus::UnregisterDeviceNotification(uintptr_t ARegistration) {
    HDEVNOTIFY notify = nullptr;
    {
        std::lock_guard lock(fState->Mutex);
        auto it = fState->Registrations.find(ARegistration);
        if (it == fState->Registrations.end())
            return;
        notify = it->second.Notify;
        fState->Registrations.erase(it);
    }
    fApi->UnregisterDeviceNotification(notify);
}

std::shared_ptr<const TWinUsbApi> TWin32UsbBus::WinUsb() {
    std::lock_guard lock(fWinUsbMutex);
    if (!fWinUsb)
        fWinUsb = LoadWinUsbApi(*fApi);
    return fWinUsb;
}

bool TWin32UsbBus::GenericDriverAvailable() {
    return WinUsb() != nullptr;
}

uint32_t TWin32UsbBus::Open(const std::string& APath, std::unique_ptr<TUsbHandle>& AHandle) {
    AHandle.reset();
    if (APath.empty())
        return ERROR_FILE_NOT_FOUND;
    const HANDLE device = fApi->CreateFileW(Utf8ToWide(APath).c_str(), GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return fApi->GetLastError();
    // Only a device whose function driver is the generic driver accepts WinUsb_Initialize.
    if (const auto winUsb = WinUsb()) {
        WINUSB_INTERFACE_HANDLE hInterface = nullptr;
        if (winUsb->WinUsb_Initialize(device, &hInterface)) {
            AHandle = std::make_unique<TWin32WinUsbHandle>(fApi, winUsb, device, hInterface);
            return ERROR_SUCCESS;
        }
    }
    AHandle = std::make_unique<TWin32FamilyHandle>(fApi, device);
    return ERROR_SUCCESS;
}
