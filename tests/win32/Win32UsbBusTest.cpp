#include "platform/win32/Win32UsbBus.h"

#include "MyLib/KelvoSerials.h"
#include "platform/StdEventLoop.h"
#include "tests/win32/FakeWin32Api.h"

#include <map>

namespace {

// The system's side of enumeration, notifications and opening, scripted per test.
struct TFakeSystem {
    struct TMember {
        DWORD Required = 0; // the detail size the size query reports
        DWORD QueryError = ERROR_INSUFFICIENT_BUFFER;
        std::wstring Path; // written into the detail, with a terminator when it fits
        bool Terminated = true;
    };
    static inline TFakeSystem* Current = nullptr;
    static inline const HDEVINFO Set = reinterpret_cast<HDEVINFO>(0x5E7);

    TFakeSystem() { Current = this; }
    ~TFakeSystem() { Current = nullptr; }

    DWORD ClassDevsError = 0;
    DWORD ClassDevsFlags = 0;
    std::vector<TMember> Members;
    DEV_BROADCAST_DEVICEINTERFACE_W Filter{};
    std::vector<std::string> Notifications;
    DWORD CreateError = 0;
    std::wstring OpenedPath;
    bool WinUsbPresent = false;
    const char* MissingEntry = "";
    bool WinUsbAccepts = false;
    int Loads = 0;

    static HDEVINFO WINAPI GetClassDevs(const GUID*, PCWSTR, HWND, DWORD AFlags) {
        Current->ClassDevsFlags = AFlags;
        if (Current->ClassDevsError)
            return TFakeWin32::Fail(Current->ClassDevsError), INVALID_HANDLE_VALUE;
        return Set;
    }
    static BOOL WINAPI EnumInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD AIndex,
                                      PSP_DEVICE_INTERFACE_DATA AData) {
        if (AData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || AIndex >= Current->Members.size())
            return TFakeWin32::Fail(ERROR_NO_MORE_ITEMS);
        AData->Reserved = AIndex;
        return TRUE;
    }
    static BOOL WINAPI InterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA AData,
                                       PSP_DEVICE_INTERFACE_DETAIL_DATA_W ADetail, DWORD ASize,
                                       PDWORD ARequired, PSP_DEVINFO_DATA) {
        const TMember& member = Current->Members.at(AData->Reserved);
        if (!ADetail) {
            *ARequired = member.Required;
            return TFakeWin32::Fail(member.QueryError);
        }
        EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W), ADetail->cbSize);
        EXPECT_EQ(member.Required, ASize);
        const size_t room =
            (ASize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
        std::wstring text = member.Path + (member.Terminated ? std::wstring(1, L'\0') : L"");
        std::copy_n(text.begin(), std::min(room, text.size()), ADetail->DevicePath);
        return TRUE;
    }
    static BOOL WINAPI DestroyList(HDEVINFO) { return TRUE; }
    static HDEVNOTIFY WINAPI RegisterNotification(HANDLE, LPVOID AFilter, DWORD) {
        std::memcpy(&Current->Filter, AFilter, sizeof Current->Filter);
        return reinterpret_cast<HDEVNOTIFY>(0xD0);
    }
    static BOOL WINAPI UnregisterNotification(HDEVNOTIFY ANotify) {
        Current->Notifications.push_back("unregister " +
                                         std::to_string(reinterpret_cast<uintptr_t>(ANotify)));
        return TRUE;
    }
    static HANDLE WINAPI CreateFile(LPCWSTR APath, DWORD AAccess, DWORD AShare, LPSECURITY_ATTRIBUTES,
                                    DWORD ACreation, DWORD AFlags, HANDLE) {
        Current->OpenedPath = APath;
        EXPECT_EQ(DWORD(GENERIC_READ | GENERIC_WRITE), AAccess);
        EXPECT_EQ(DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE), AShare);
        EXPECT_EQ(DWORD(OPEN_EXISTING), ACreation);
        EXPECT_EQ(DWORD(FILE_FLAG_OVERLAPPED), AFlags);
        if (Current->CreateError)
            return TFakeWin32::Fail(Current->CreateError), INVALID_HANDLE_VALUE;
        return TFakeWin32::Device;
    }
    static HMODULE WINAPI LoadLibrary(LPCWSTR AName) {
        EXPECT_EQ(std::wstring(L"winusb.dll"), AName);
        ++Current->Loads;
        return Current->WinUsbPresent ? reinterpret_cast<HMODULE>(0x3000) : nullptr;
    }
    static BOOL WINAPI Initialize(HANDLE, WINUSB_INTERFACE_HANDLE* AInterface) {
        *AInterface = TFakeWin32::WinUsbInterface;
        return Current->WinUsbAccepts ? TRUE : TFakeWin32::Fail(ERROR_INVALID_FUNCTION);
    }
    static FARPROC WINAPI GetProcAddress(HMODULE, LPCSTR AName) {
        const std::string name = AName;
        void* entry = reinterpret_cast<void*>(DestroyList); // the others are never called here
        if (name == Current->MissingEntry)
            entry = nullptr;
        else if (name == "WinUsb_Initialize")
            entry = reinterpret_cast<void*>(Initialize);
        else if (name == "WinUsb_Free")
            entry = reinterpret_cast<void*>(TFakeWin32::WinUsb_Free);
        return reinterpret_cast<FARPROC>(entry);
    }

    static std::shared_ptr<const TWin32Api> Api() {
        auto api = std::make_shared<TWin32Api>(TFakeWin32::Api());
        api->SetupDiGetClassDevsW = GetClassDevs;
        api->SetupDiEnumDeviceInterfaces = EnumInterfaces;
        api->SetupDiGetDeviceInterfaceDetailW = InterfaceDetail;
        api->SetupDiDestroyDeviceInfoList = DestroyList;
        api->RegisterDeviceNotificationW = RegisterNotification;
        api->UnregisterDeviceNotification = UnregisterNotification;
        api->CreateFileW = CreateFile;
        api->LoadLibraryW = LoadLibrary;
        api->GetProcAddress = GetProcAddress;
        return api;
    }
};

struct TSink : TDeviceChangeSink {
    std::vector<std::string> Reports;
    void DeviceChange(uint32_t AEvent, const TGUID& AClass, const std::string& APath) override {
        Reports.push_back(std::to_string(AEvent) + " " + GuidToString(AClass) + " " + APath);
    }
};

struct Win32UsbBus : ::testing::Test {
    TFakeWin32 device;
    TFakeSystem system;
    TStdEventLoop loop;
    TWin32UsbBus bus{loop, TFakeSystem::Api()};
};

constexpr DWORD DetailHeader = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

TEST_F(Win32UsbBus, EnumerationReadsEveryMembersPathOnlyWithinTheSizesGiven) {
    const std::wstring path = L"\\\\?\\usb#vid_1209&pid_0101#1#{x}";
    system.Members = {
        {DWORD(DetailHeader + 2 * (path.size() + 1)), ERROR_INSUFFICIENT_BUFFER, path},
        {DetailHeader, ERROR_INSUFFICIENT_BUFFER, L""},                // no room for even a terminator
        {0x7FFFFFF0, ERROR_INSUFFICIENT_BUFFER, L"x"},                 // far beyond any path
        {64, ERROR_ACCESS_DENIED, L"x"},                               // the size query fails otherwise
        {DetailHeader + 8, ERROR_INSUFFICIENT_BUFFER, L"abcd", false}, // fills the block, unterminated
        {DetailHeader + 8, ERROR_INSUFFICIENT_BUFFER, L"\u00e4b"},     // not ASCII: UTF-8
    };
    std::vector<TUsbInterfaceEntry> members;
    ASSERT_EQ(0u, bus.GetClassDevs(GUID_KELVO_SENSOR, members));
    EXPECT_EQ(DWORD(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), system.ClassDevsFlags);
    std::vector<std::pair<std::string, uint32_t>> got;
    for (const auto& m : members)
        got.emplace_back(m.Path, m.DetailError);
    EXPECT_EQ((std::vector<std::pair<std::string, uint32_t>>{{"\\\\?\\usb#vid_1209&pid_0101#1#{x}", 0},
                                                             {"", ERROR_INVALID_DATA},
                                                             {"", ERROR_INVALID_DATA},
                                                             {"", ERROR_ACCESS_DENIED},
                                                             {"", ERROR_INVALID_DATA},
                                                             {"\xC3\xA4"
                                                              "b",
                                                              0}}),
              got);

    system.ClassDevsError = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(uint32_t(ERROR_INVALID_PARAMETER), bus.GetClassDevs(GUID_KELVO_SENSOR, members));
    EXPECT_TRUE(members.empty());
}

TEST_F(Win32UsbBus, BroadcastsReachTheSinkOnTheLoopOnlyWhenWellFormed) {
    TSink sink;
    uint32_t error = 1;
    const uintptr_t registration = bus.RegisterDeviceNotification(&sink, GUID_KELVO_PULSE, error);
    ASSERT_NE(0u, registration);
    EXPECT_EQ(0u, error);
    EXPECT_EQ(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W), system.Filter.dbcc_size);
    EXPECT_EQ(DWORD(DBT_DEVTYP_DEVICEINTERFACE), system.Filter.dbcc_devicetype);

    constexpr DWORD header = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    struct TCase {
        WPARAM Event;
        DWORD Type;
        DWORD Size; // 0: the whole name with its terminator
        const TGUID& Class;
        bool Delivered;
    } cases[] = {
        {DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE, 0, GUID_KELVO_PULSE, true},
        {DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, 0, GUID_KELVO_PULSE, true},
        {DBT_DEVNODES_CHANGED, DBT_DEVTYP_DEVICEINTERFACE, 0, GUID_KELVO_PULSE, false},
        {DBT_DEVICEARRIVAL, DBT_DEVTYP_HANDLE, 0, GUID_KELVO_PULSE, false},
        {DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE, header, GUID_KELVO_PULSE, false}, // no name
        {DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE, header + 6, GUID_KELVO_PULSE,
         false},                                                                      // name cut short
        {DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE, 0, GUID_KELVO_SENSOR, false}, // not registered
    };
    for (const TCase& c : cases) {
        // The name runs on past the size given, as a sender's stale buffer might.
        struct {
            DEV_BROADCAST_DEVICEINTERFACE_W Head;
            wchar_t Rest[16];
        } block{};
        block.Head.dbcc_devicetype = c.Type;
        block.Head.dbcc_size = c.Size ? c.Size : header + sizeof(L"\\\\?\\p#1");
        std::memcpy(&block.Head.dbcc_classguid, &c.Class, sizeof(GUID));
        std::memcpy(block.Head.dbcc_name, L"\\\\?\\p#1", sizeof(L"\\\\?\\p#1"));
        sink.Reports.clear();
        SendMessageW(bus.NotificationWindow(), WM_DEVICECHANGE, c.Event, reinterpret_cast<LPARAM>(&block));
        EXPECT_TRUE(sink.Reports.empty()); // only the loop delivers
        loop.ProcessMessages();
        EXPECT_EQ(c.Delivered ? std::vector<std::string>{std::to_string(c.Event) + " " +
                                                         GuidToString(GUID_KELVO_PULSE) + " \\\\?\\p#1"}
                              : std::vector<std::string>{},
                  sink.Reports);
    }

    // A report still queued when its registration ends is dropped.
    struct {
        DEV_BROADCAST_DEVICEINTERFACE_W Head;
        wchar_t Rest[4];
    } block{};
    block.Head.dbcc_size = sizeof block;
    block.Head.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    std::memcpy(&block.Head.dbcc_classguid, &GUID_KELVO_PULSE, sizeof(GUID));
    block.Head.dbcc_name[0] = L'p';
    sink.Reports.clear();
    SendMessageW(bus.NotificationWindow(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                 reinterpret_cast<LPARAM>(&block));
    bus.UnregisterDeviceNotification(registration);
    loop.ProcessMessages();
    EXPECT_TRUE(sink.Reports.empty());
    EXPECT_EQ(std::vector<std::string>{"unregister 208"}, system.Notifications);
}

TEST_F(Win32UsbBus, OpenBindsTheGenericDriverOnlyWhereWinUsbAcceptsTheDevice) {
    struct TCase {
        DWORD CreateError;
        bool WinUsbPresent;
        const char* MissingEntry;
        bool WinUsbAccepts;
        uint32_t Result;
        bool Generic;
        int Loads; // a library found is loaded once; a missing one is looked for again each time
    } cases[] = {
        {ERROR_FILE_NOT_FOUND, true, "", true, ERROR_FILE_NOT_FOUND, false, 1},
        {0, false, "", true, 0, false, 3},                // no winusb.dll: the family driver still works
        {0, true, "WinUsb_ResetPipe", true, 0, false, 3}, // an incomplete winusb.dll counts as none
        {0, true, "", false, 0, false, 1},
        {0, true, "", true, 0, true, 1},
    };
    for (const TCase& c : cases) {
        TWin32UsbBus fresh(loop, TFakeSystem::Api()); // winusb.dll is looked up once per bus
        system.CreateError = c.CreateError;
        system.WinUsbPresent = c.WinUsbPresent;
        system.MissingEntry = c.MissingEntry;
        system.WinUsbAccepts = c.WinUsbAccepts;
        system.Loads = 0;
        std::unique_ptr<TUsbHandle> handle;
        EXPECT_EQ(c.Result, fresh.Open("\\\\?\\usb#\xC3\xA4", handle));
        EXPECT_EQ(L"\\\\?\\usb#\u00e4", system.OpenedPath);
        EXPECT_EQ(c.Result == 0, handle != nullptr);
        if (handle) {
            EXPECT_EQ(c.Generic ? TUsbDriverKind::Generic : TUsbDriverKind::Family, handle->DriverKind());
        }
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(c.WinUsbPresent && !*c.MissingEntry, fresh.GenericDriverAvailable());
        EXPECT_EQ(c.Loads, system.Loads);
    }
}

TEST(Win32UsbBusOnTheSystem, EnumeratesAndLoadsWinUsbThroughTheRealEntryPoints) {
    TStdEventLoop loop;
    TWin32UsbBus bus(loop);
    std::vector<TUsbInterfaceEntry> members{{"stale", 0}};
    EXPECT_EQ(0u, bus.GetClassDevs(GUID_KELVO_SENSOR, members));
    EXPECT_TRUE(members.empty()); // no devices here
    std::unique_ptr<TUsbHandle> handle;
    EXPECT_EQ(uint32_t(ERROR_FILE_NOT_FOUND), bus.Open("\\\\?\\usb#vid_1209&pid_0101#none#{0}", handle));
    EXPECT_TRUE(bus.GenericDriverAvailable());
}

} // namespace
