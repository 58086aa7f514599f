#pragma once
// A USB/IP server on 127.0.0.1 that offers USB wires for import. Each offered wire gets a bus id
// ("1-N", N counting up, never reused) and is withdrawn when it has gone: its client is
// disconnected, and a device that comes back (re-enumerated) is offered again as a new wire. One
// thread accepts clients and each client has a thread of its own.
#include "platform/UsbWire.h"
#include "usbip/UsbIpConnection.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What the server grants its clients, so that idle or too many clients cannot starve it of threads
// and file descriptors.
struct TUsbIpServerLimits {
    // Clients served at once; one more is refused.
    size_t MaxClients = 64;
    // A client that sends nothing for this long before it has imported a device is disconnected.
    uint32_t IdleBeforeImportMs = 10000;
};

class TUsbIpServer : private TUsbIpDeviceTable {
public:
    using TLog = std::function<void(const std::string& ALine)>;
    using TOfferObserver = std::function<void(const TUsbIpDeviceRecord& ARecord)>;

    // ALog receives a line for each device offered and withdrawn, each client disconnected for
    // breaking the protocol or for idling, and each client refused (any thread).
    explicit TUsbIpServer(TLog ALog, TUsbIpServerLimits ALimits = {});
    ~TUsbIpServer() override;
    TUsbIpServer(const TUsbIpServer&) = delete;
    TUsbIpServer& operator=(const TUsbIpServer&) = delete;

    // Listens on 127.0.0.1:APort (0: a free port, see Port). False with AError when it cannot.
    bool Listen(uint16_t APort, std::string& AError);
    uint16_t Port() const { return fPort; }
    // Any thread: offers AWire for import until it has gone; returns its bus id. AObserver, when
    // set, hears of each offer on the offering thread (it must not call back into the server).
    std::string Offer(std::shared_ptr<TUsbWire> AWire);
    void SetOfferObserver(TOfferObserver AObserver);
    // Stops listening, disconnects every client and waits for their threads.
    void Stop();

private:
    struct TExport {
        TUsbIpDeviceRecord Record;
        std::shared_ptr<TUsbWire> Wire;
        uint64_t GoneListener = 0;
        std::weak_ptr<TUsbIpConnection> Importer;
    };
    struct TClient {
        std::shared_ptr<TUsbIpConnection> Connection;
        std::thread Thread;
        std::shared_ptr<std::atomic<bool>> Done;
    };

    std::vector<TUsbIpDeviceRecord> ListDevices() override;
    std::optional<TUsbIpImport> Import(const std::string& ABusId,
                                       const std::shared_ptr<TUsbIpConnection>& AConnection) override;
    void Release(const std::string& ABusId, const TUsbIpConnection& AConnection) override;
    void Withdraw(const std::string& ABusId);
    void AcceptClients();
    // Starts serving the accepted socket AFd, or refuses it (fClientsMutex held).
    void AddClient(int AFd);
    // Joins the threads of clients that have left (fClientsMutex held).
    void ReapClients();

    TLog fLog;
    const TUsbIpServerLimits fLimits;
    TOfferObserver fOfferObserver;
    int fListenFd = -1;
    // Set before the listening socket is shut down: accept failures from then on end the accepting.
    std::atomic<bool> fClosing = false;
    uint16_t fPort = 0;
    std::thread fAcceptThread;

    std::mutex fMutex; // fExports, fNextDevNum, fOfferObserver
    std::map<std::string, TExport> fExports;
    uint32_t fNextDevNum = 2;

    std::mutex fClientsMutex;
    std::vector<TClient> fClients;
    bool fStopping = false;
};
