#pragma once
// One client of the USB/IP server. Before import the client asks for the device list or imports
// one device; after the import every URB command goes to that device's wire, and replies are sent
// from the wire's completions (any thread). A client that breaks the protocol (bad version or
// code, malformed or oversized command, an unlink or submit for another device) is disconnected.
#include "platform/UsbWire.h"
#include "usbip/UsbIpProtocol.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class TUsbIpConnection;

// A device given to one connection by the server.
struct TUsbIpImport {
    std::shared_ptr<TUsbWire> Wire;
    TUsbIpDeviceRecord Record;
};

// What a connection asks of the server's device table.
class TUsbIpDeviceTable {
public:
    virtual ~TUsbIpDeviceTable() = default;
    virtual std::vector<TUsbIpDeviceRecord> ListDevices() = 0;
    // Gives the device to AConnection until it is released; none when there is no such device or
    // another connection has it.
    virtual std::optional<TUsbIpImport> Import(const std::string& ABusId,
                                               const std::shared_ptr<TUsbIpConnection>& AConnection) = 0;
    virtual void Release(const std::string& ABusId, const TUsbIpConnection& AConnection) = 0;
};

class TUsbIpConnection : public std::enable_shared_from_this<TUsbIpConnection> {
public:
    using TLog = std::function<void(const std::string& ALine)>;

    // Takes over the connected socket AFd. A client that sends nothing for AIdleBeforeImportMs
    // before it has imported a device is disconnected.
    TUsbIpConnection(int AFd, TUsbIpDeviceTable& ATable, TLog ALog, uint32_t AIdleBeforeImportMs);
    ~TUsbIpConnection();
    TUsbIpConnection(const TUsbIpConnection&) = delete;
    TUsbIpConnection& operator=(const TUsbIpConnection&) = delete;

    // Serves the client until it leaves or is disconnected; runs on the connection's own thread.
    void Serve();
    // Any thread: ends the connection; Serve returns soon after.
    void Disconnect();

private:
    void ServeClient();
    void ServeUrbs(const TUsbIpImport& AImport);
    // False: the command was malformed and the client is to be disconnected.
    bool Submit(const TUsbIpImport& AImport, const TUsbIpUrbHeader& ACommand, std::vector<uint8_t> AOut);
    void Unlink(const TUsbIpImport& AImport, const TUsbIpUrbHeader& ACommand);
    // Sends RET_SUBMIT for ASeqNum unless it was unlinked; any thread.
    void Complete(uint32_t ASeqNum, bool AIn, uint32_t AResult, uint32_t ATransferred,
                  std::vector<uint8_t> AData);
    bool Receive(void* ABuffer, size_t ALength);
    // How long a receive may wait; 0 for no limit.
    void SetReceiveLimit(uint32_t AMilliseconds);
    // Sends while holding fMutex; a failed send disconnects.
    void SendLocked(const std::vector<uint8_t>& ABytes);

    TUsbIpDeviceTable& fTable;
    TLog fLog;
    std::mutex fMutex;
    int fFd;
    const uint32_t fIdleBeforeImportMs;
    bool fDisconnected = false;
    // Submitted URBs not answered yet: sequence number -> the wire's transfer id (0 until known).
    std::map<uint32_t, uint64_t> fInFlight;
};
