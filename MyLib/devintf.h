#pragma once
// The device interfaces of one interface class that are present now, each with the device path
// that opens it. The notifier uses this at start-up to report devices plugged in before it ran.
#include "platform/Guid.h"
#include "platform/UsbBus.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The set of present interfaces of one class, taken when it is created.
class TDeviceInterfaceClass {
public:
    // AStatus: 0, or the error that kept the set from being built (87 when the bus raised).
    TDeviceInterfaceClass(const TGUID& AGuid, uint32_t& AStatus);

    const TGUID& Guid() const { return m_Guid; }
    bool Valid() const { return m_hInfo.has_value(); }
    // Member AIndex of the set, or nullptr past its end (or when the set is invalid).
    const TUsbInterfaceEntry* Member(uint32_t AIndex) const;

private:
    std::optional<std::vector<TUsbInterfaceEntry>> m_hInfo;
    TGUID m_Guid;
};

// One member of a set: read completely, or AError says what stopped it.
class TDeviceInterface {
public:
    // AError: 0 when the member and its path were read; ERROR_NO_MORE_ITEMS past the last member;
    // else the error of reading the member's details.
    TDeviceInterface(const TDeviceInterfaceClass& AClassObject, uint32_t AIndex, uint32_t& AError);

    // The path, or "" when the details were not read.
    std::string DevicePath() const { return m_Detail.value_or(std::string()); }

private:
    const TDeviceInterfaceClass& m_Class;
    std::optional<std::string> m_Detail;
};

class TUsbDeviceInfo {
public:
    TGUID fGuid;
    std::string fPath;
    uint32_t fIndex = 0;
};
using PUsbDeviceInfo = TUsbDeviceInfo*;

// A snapshot list of the present interfaces of one class, in member order. Main thread only.
class TUsbDeviceEnumerator {
public:
    // Enumerates at once.
    explicit TUsbDeviceEnumerator(const TGUID& AGUID);

    // Rebuilds the list; entries obtained earlier are freed. The list ends at the first member that
    // cannot be read completely; a class whose set cannot be built gives an empty list.
    void EnumDevices();
    int Count() const { return int(fDevices.size()); }
    // 0 <= AIndex < Count().
    const TUsbDeviceInfo& DeviceInfo(int AIndex) const { return *fDevices[size_t(AIndex)]; }

private:
    TGUID fGuid;
    std::vector<std::unique_ptr<TUsbDeviceInfo>> fDevices;
};
