#include "usbip/UsbIpServer.h"

#include "platform/HexText.h"
#include "usbip/UsbIpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

namespace {

constexpr uint32_t BusNum = 1;

} // namespace

TUsbIpServer::TUsbIpServer(TLog ALog, TUsbIpServerLimits ALimits) : fLog(std::move(ALog)), fLimits(ALimits) {}

TUsbIpServer::~TUsbIpServer() {
    Stop();
}

bool TUsbIpServer::Listen(uint16_t APort, std::string& AError) {
    fListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fListenFd < 0) {
        AError = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int yes = 1;
    setsockopt(fListenFd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address = LoopbackAddress(APort);
    socklen_t length = sizeof address;
    if (bind(fListenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fListenFd, 8) != 0 ||
        getsockname(fListenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        AError = "127.0.0.1:" + std::to_string(APort) + ": " + std::strerror(errno);
        close(fListenFd);
        fListenFd = -1;
        return false;
    }
    fPort = ntohs(address.sin_port);
    fAcceptThread = std::thread([this] { AcceptClients(); });
    return true;
}

void TUsbIpServer::AcceptClients() {
    // A failure such as running out of file descriptors is said once per spell and retried: idle
    // clients leave in time and free what they held.
    bool failing = false;
    for (;;) {
        const int fd = accept4(fListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 && fClosing)
            return; // the listening socket was shut down
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (!failing)
                fLog(std::string("usbip: cannot accept a client: ") + std::strerror(errno));
            failing = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        failing = false;
        SetNoDelay(fd);
        std::lock_guard lock(fClientsMutex);
        ReapClients();
        if (fStopping) {
            close(fd);
            return;
        }
        AddClient(fd);
    }
}

void TUsbIpServer::AddClient(int AFd) {
    if (fClients.size() >= fLimits.MaxClients) {
        fLog("usbip: client refused: " + std::to_string(fLimits.MaxClients) + " clients are served already");
        close(AFd);
        return;
    }
    TUsbIpDeviceTable& table = *this;
    auto connection = std::make_shared<TUsbIpConnection>(AFd, table, fLog, fLimits.IdleBeforeImportMs);
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
        fClients.push_back({connection, std::thread([connection, done] {
                                connection->Serve();
                                *done = true;
                            }),
                            done});
    } catch (const std::system_error& e) {
        // The connection closes its socket as it goes.
        fLog(std::string("usbip: client refused: cannot start its thread: ") + e.what());
    }
}

void TUsbIpServer::ReapClients() {
    for (auto it = fClients.begin(); it != fClients.end();) {
        if (*it->Done) {
            it->Thread.join();
            it = fClients.erase(it);
        } else {
            ++it;
        }
    }
}

std::string TUsbIpServer::Offer(std::shared_ptr<TUsbWire> AWire) {
    std::string busId;
    TOfferObserver observer;
    TUsbIpDeviceRecord record;
    {
        std::lock_guard lock(fMutex);
        record = DescribeWire(*AWire, BusNum, fNextDevNum++);
        busId = record.BusId;
        fExports[busId] = {record, AWire, 0, {}};
        observer = fOfferObserver;
    }
    fLog("usbip: offered " + busId + " (" + Hex4(record.idVendor, true) + ":" + Hex4(record.idProduct, true) +
         ")");
    // Outside the lock: a wire that has gone already runs the listener at once.
    const uint64_t listener = AWire->AddGoneListener([this, busId] { Withdraw(busId); });
    bool present;
    {
        std::lock_guard lock(fMutex);
        auto it = fExports.find(busId);
        present = it != fExports.end();
        if (present)
            it->second.GoneListener = listener;
    }
    if (present && observer)
        observer(record);
    return busId;
}

void TUsbIpServer::SetOfferObserver(TOfferObserver AObserver) {
    std::lock_guard lock(fMutex);
    fOfferObserver = std::move(AObserver);
}

void TUsbIpServer::Withdraw(const std::string& ABusId) {
    std::shared_ptr<TUsbIpConnection> importer;
    {
        std::lock_guard lock(fMutex);
        auto it = fExports.find(ABusId);
        if (it == fExports.end())
            return;
        importer = it->second.Importer.lock();
        fExports.erase(it);
    }
    fLog("usbip: withdrew " + ABusId);
    // The client sees the connection end, as when a real device's cable is pulled.
    if (importer)
        importer->Disconnect();
}

std::vector<TUsbIpDeviceRecord> TUsbIpServer::ListDevices() {
    std::lock_guard lock(fMutex);
    std::vector<TUsbIpDeviceRecord> devices;
    for (const auto& [busId, device] : fExports)
        if (device.Importer.expired())
            devices.push_back(device.Record);
    return devices;
}

std::optional<TUsbIpImport> TUsbIpServer::Import(const std::string& ABusId,
                                                 const std::shared_ptr<TUsbIpConnection>& AConnection) {
    std::lock_guard lock(fMutex);
    auto it = fExports.find(ABusId);
    if (it == fExports.end() || !it->second.Importer.expired() || it->second.Wire->Gone())
        return std::nullopt;
    it->second.Importer = AConnection;
    return TUsbIpImport{it->second.Wire, it->second.Record};
}

void TUsbIpServer::Release(const std::string& ABusId, const TUsbIpConnection& AConnection) {
    std::lock_guard lock(fMutex);
    if (auto it = fExports.find(ABusId);
        it != fExports.end() && it->second.Importer.lock().get() == &AConnection)
        it->second.Importer.reset();
}

void TUsbIpServer::Stop() {
    if (fListenFd >= 0) {
        fClosing = true;
        shutdown(fListenFd, SHUT_RDWR);
        if (fAcceptThread.joinable())
            fAcceptThread.join();
        close(fListenFd);
        fListenFd = -1;
    }
    std::map<std::string, TExport> exports;
    {
        std::lock_guard lock(fMutex);
        exports.swap(fExports);
    }
    for (auto& [busId, device] : exports)
        device.Wire->RemoveGoneListener(device.GoneListener);
    std::vector<TClient> clients;
    {
        std::lock_guard lock(fClientsMutex);
        fStopping = true;
        clients.swap(fClients);
    }
    for (auto& client : clients) {
        client.Connection->Disconnect();
        client.Thread.join();
    }
}
