#pragma once
// Attaches devices offered by a USB/IP server on this machine to the machine's own vhci-hcd, so
// its kernel sees them as USB devices (root only). For each device: connect to the server, import
// it, and hand the socket to the kernel by writing "PORT SOCKFD DEVID SPEED" to vhci-hcd's attach
// file, on a free port of the hub that matches the device's speed. Attaching runs on a thread of
// its own, in the order the devices were offered.
#include "usbip/UsbIpProtocol.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// The first free port in the text of vhci-hcd's status file for a device of speed ASpeed (a
// super-speed device needs an "ss" port, any other an "hs" one); none when all are taken.
std::optional<uint32_t> FreeVhciPort(const std::string& AStatus, uint32_t ASpeed);

class TUsbIpLocalAttacher {
public:
    using TLog = std::function<void(const std::string& ALine)>;

    // AServerPort: the server on 127.0.0.1; AVhciFolder: vhci-hcd's sysfs folder.
    TUsbIpLocalAttacher(uint16_t AServerPort, std::string AVhciFolder, TLog ALog);
    ~TUsbIpLocalAttacher();
    TUsbIpLocalAttacher(const TUsbIpLocalAttacher&) = delete;
    TUsbIpLocalAttacher& operator=(const TUsbIpLocalAttacher&) = delete;

    // Any thread: queues ARecord's device for attaching.
    void Attach(const TUsbIpDeviceRecord& ARecord);

private:
    void Run();
    // False with AError when the device could not be attached.
    bool AttachNow(const TUsbIpDeviceRecord& ARecord, std::string& AError);

    uint16_t fServerPort;
    std::string fVhciFolder;
    TLog fLog;
    std::mutex fMutex;
    std::condition_variable fWake;
    std::deque<TUsbIpDeviceRecord> fQueue;
    bool fStop = false;
    std::thread fThread;
};
