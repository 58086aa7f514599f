#include "usbip/UsbIpLocalAttach.h"

#include "usbip/UsbIpSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

// VDEV_ST_NULL: a vhci-hcd port with nothing attached.
constexpr uint32_t VhciPortFree = 4;

std::string ReadFile(const std::string& APath) {
    std::ifstream file(APath);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

std::optional<uint32_t> FreeVhciPort(const std::string& AStatus, uint32_t ASpeed) {
    const std::string hub = ASpeed == USBIP_SPEED_SUPER ? "ss" : "hs";
    std::istringstream lines(AStatus);
    std::string line;
    // "hub port sta spd dev sockfd local_busid", one line per port after the heading.
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string lineHub;
        uint32_t port = 0;
        uint32_t state = 0;
        if (fields >> lineHub >> port >> state && lineHub == hub && state == VhciPortFree)
            return port;
    }
    return std::nullopt;
}

TUsbIpLocalAttacher::TUsbIpLocalAttacher(uint16_t AServerPort, std::string AVhciFolder, TLog ALog)
    : fServerPort(AServerPort), fVhciFolder(std::move(AVhciFolder)), fLog(std::move(ALog)),
      fThread([this] { Run(); }) {}

TUsbIpLocalAttacher::~TUsbIpLocalAttacher() {
    {
        std::lock_guard lock(fMutex);
        fStop = true;
    }
    fWake.notify_all();
    fThread.join();
}

void TUsbIpLocalAttacher::Attach(const TUsbIpDeviceRecord& ARecord) {
    {
        std::lock_guard lock(fMutex);
        fQueue.push_back(ARecord);
    }
    fWake.notify_all();
}

void TUsbIpLocalAttacher::Run() {
    std::unique_lock lock(fMutex);
    for (;;) {
        fWake.wait(lock, [this] { return fStop || !fQueue.empty(); });
        if (fStop)
            return;
        const TUsbIpDeviceRecord record = fQueue.front();
        fQueue.pop_front();
        lock.unlock();
        std::string error;
        if (AttachNow(record, error))
            fLog("usbip: attached " + record.BusId + " to this machine");
        else
            fLog("usbip: cannot attach " + record.BusId + ": " + error);
        lock.lock();
    }
}

bool TUsbIpLocalAttacher::AttachNow(const TUsbIpDeviceRecord& ARecord, std::string& AError) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        AError = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    sockaddr_in address = LoopbackAddress(fServerPort);
    const std::vector<uint8_t> request = EncodeImportRequest(ARecord.BusId);
    uint8_t reply[USBIP_OP_HEADER_SIZE + USBIP_DEVICE_RECORD_SIZE];
    bool imported = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        AError = std::string("connect: ") + std::strerror(errno);
    else if (!SendAll(fd, request.data(), request.size()) || !ReceiveAll(fd, reply, USBIP_OP_HEADER_SIZE))
        AError = "the server closed the connection";
    else if (const auto header = DecodeOpHeader(reply); header.wCode != OP_REP_IMPORT || header.dwStatus != 0)
        AError = "the server refused the import (gone already?)";
    else if (!ReceiveAll(fd, reply + USBIP_OP_HEADER_SIZE, USBIP_DEVICE_RECORD_SIZE))
        AError = "the server closed the connection";
    else
        imported = true;
    bool attached = false;
    if (imported) {
        const TUsbIpDeviceRecord device = DecodeDeviceRecord(reply + USBIP_OP_HEADER_SIZE);
        if (const auto port = FreeVhciPort(ReadFile(fVhciFolder + "/status"), device.dwSpeed); !port) {
            AError = "no free vhci-hcd port";
        } else {
            // The kernel takes its own reference to the socket; ours is closed below.
            std::ofstream attach(fVhciFolder + "/attach");
            attach << *port << ' ' << fd << ' ' << device.DevId() << ' ' << device.dwSpeed << std::flush;
            attached = bool(attach);
            if (!attached)
                AError = "writing " + fVhciFolder + "/attach failed";
        }
    }
    close(fd);
    return attached;
}
