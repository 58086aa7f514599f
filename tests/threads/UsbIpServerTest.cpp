#include "usbip/UsbIpServer.h"
#include "platform/WinError.h"
#include "usbip/UsbIpLocalAttach.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A small full-speed device: vendor 0x1234, product 0x5678, one vendor-class interface with bulk IN
// endpoint 0x81. Vendor request 1 answers its wLength bytes 0, 1, 2...; request 2 stalls; request 3
// never answers until cancelled. Reads of 0x81 wait for Push.
class TTestWire : public TUsbWire {
public:
    std::vector<uint8_t> DeviceDescriptor() const override {
        return {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 0, 0, 0, 1};
    }
    std::vector<uint8_t> ConfigurationDescriptor() const override {
        return {9, 2, 25, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 0xFF, 0x01, 0x02, 0, 7, 5, 0x81, 2, 64, 0, 0};
    }
    TUsbSpeed Speed() const override { return TUsbSpeed::Full; }

    uint32_t SubmitControl(const TUsbSetupPacket& ASetup, std::vector<uint8_t>, uint32_t,
                           TUsbControlCompletion AOnDone, uint64_t& AId) override {
        std::unique_lock lock(fMutex);
        if (fGone)
            return ERROR_DEVICE_NOT_CONNECTED;
        AId = ++fNextId;
        if (ASetup.Request == 3) {
            fControls[AId] = std::move(AOnDone);
            return ERROR_SUCCESS;
        }
        lock.unlock();
        std::vector<uint8_t> data;
        for (uint16_t i = 0; ASetup.Request == 1 && i < ASetup.Length; ++i)
            data.push_back(uint8_t(i));
        const uint32_t size = uint32_t(data.size());
        AOnDone(ASetup.Request == 1 ? ERROR_SUCCESS : ERROR_GEN_FAILURE, size, std::move(data));
        return ERROR_SUCCESS;
    }
    uint32_t SubmitRead(uint8_t AEndpoint, uint32_t, TUsbReadCompletion AOnDone, uint64_t& AId) override {
        std::lock_guard lock(fMutex);
        if (fGone)
            return ERROR_DEVICE_NOT_CONNECTED;
        if (AEndpoint != 0x81)
            return ERROR_INVALID_PARAMETER;
        AId = ++fNextId;
        fReads.emplace_back(AId, std::move(AOnDone));
        return ERROR_SUCCESS;
    }
    void CancelTransfer(uint64_t AId) override {
        TUsbReadCompletion read;
        TUsbControlCompletion control;
        {
            std::lock_guard lock(fMutex);
            for (auto it = fReads.begin(); it != fReads.end(); ++it)
                if (it->first == AId) {
                    read = std::move(it->second);
                    fReads.erase(it);
                    break;
                }
            if (auto it = fControls.find(AId); it != fControls.end()) {
                control = std::move(it->second);
                fControls.erase(it);
            }
        }
        if (read)
            read(ERROR_OPERATION_ABORTED, {});
        if (control)
            control(ERROR_OPERATION_ABORTED, 0, {});
    }
    uint32_t ClearHalt(uint8_t) override { return ERROR_SUCCESS; }
    bool Gone() const override {
        std::lock_guard lock(fMutex);
        return fGone;
    }
    uint64_t AddGoneListener(std::function<void()> AOnGone) override {
        std::unique_lock lock(fMutex);
        if (fGone) {
            lock.unlock();
            AOnGone();
            return 0;
        }
        fListeners[++fNextId] = std::move(AOnGone);
        return fNextId;
    }
    void RemoveGoneListener(uint64_t AId) override {
        std::lock_guard lock(fMutex);
        fListeners.erase(AId);
    }

    // Completes the oldest read with APacket.
    void Push(std::vector<uint8_t> APacket) {
        std::unique_lock lock(fMutex);
        auto read = std::move(fReads.front().second);
        fReads.pop_front();
        lock.unlock();
        read(ERROR_SUCCESS, std::move(APacket));
    }
    size_t PendingReads() const {
        std::lock_guard lock(fMutex);
        return fReads.size();
    }
    void Go() {
        std::map<uint64_t, std::function<void()>> listeners;
        {
            std::lock_guard lock(fMutex);
            fGone = true;
            listeners.swap(fListeners);
        }
        for (auto& [id, listener] : listeners)
            listener();
    }

private:
    mutable std::mutex fMutex;
    bool fGone = false;
    uint64_t fNextId = 0;
    std::deque<std::pair<uint64_t, TUsbReadCompletion>> fReads;
    std::map<uint64_t, TUsbControlCompletion> fControls;
    std::map<uint64_t, std::function<void()>> fListeners;
};

// A hand-written USB/IP client: raw bytes over a loopback socket, each read waiting at most 5 s.
class TClient {
public:
    explicit TClient(uint16_t APort) : TClient(APort, socket(AF_INET, SOCK_STREAM, 0)) {}
    // Connects the socket AFd made earlier.
    TClient(uint16_t APort, int AFd) : fFd(AFd) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(APort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval timeout{5, 0};
        setsockopt(fFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        EXPECT_EQ(connect(fFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~TClient() { close(fFd); }
    void Send(const std::vector<uint8_t>& ABytes) { send(fFd, ABytes.data(), ABytes.size(), MSG_NOSIGNAL); }
    std::vector<uint8_t> Read(size_t ALength) {
        std::vector<uint8_t> bytes(ALength);
        if (ALength == 0)
            return bytes;
        const ssize_t got = recv(fFd, bytes.data(), ALength, MSG_WAITALL);
        bytes.resize(got > 0 ? size_t(got) : 0);
        return bytes;
    }
    // The server closes the connection (rather than the wait timing out), after any replies still
    // on their way; a reset when it closed with our bytes unread.
    bool Closed() {
        uint8_t bytes[64];
        for (;;) {
            const ssize_t got = recv(fFd, bytes, sizeof bytes, 0);
            if (got <= 0)
                return got == 0 || errno == ECONNRESET;
        }
    }
    std::optional<TUsbIpDeviceRecord> Import(const std::string& ABusId) {
        Send(EncodeImportRequest(ABusId));
        const auto header = Read(USBIP_OP_HEADER_SIZE);
        if (header.size() != USBIP_OP_HEADER_SIZE || DecodeOpHeader(header.data()).dwStatus != USBIP_ST_OK)
            return std::nullopt;
        return DecodeDeviceRecord(Read(USBIP_DEVICE_RECORD_SIZE).data());
    }
    void Submit(uint32_t ASeqNum, uint32_t ADevId, uint32_t AEndpoint, uint32_t ALength,
                std::array<uint8_t, 8> ASetup = {}) {
        TUsbIpUrbHeader command;
        command.dwCommand = USBIP_CMD_SUBMIT;
        command.dwSeqNum = ASeqNum;
        command.dwDevId = ADevId;
        // Only control transfers go out (without data here); reads come in.
        command.dwDirection = AEndpoint == 0 && (ASetup[0] & 0x80) == 0 ? USBIP_DIR_OUT : USBIP_DIR_IN;
        command.dwEndpoint = AEndpoint;
        command.dwTransferBufferLength = ALength;
        command.Setup = ASetup;
        Send(EncodeUrbHeader(command));
    }
    TUsbIpUrbHeader Reply() {
        const auto bytes = Read(USBIP_URB_HEADER_SIZE);
        return bytes.size() == USBIP_URB_HEADER_SIZE ? DecodeUrbHeader(bytes.data()) : TUsbIpUrbHeader{};
    }

private:
    int fFd;
};

struct TServed {
    std::shared_ptr<TTestWire> Wire = std::make_shared<TTestWire>();
    std::vector<std::string> Log;
    std::mutex LogMutex;
    TUsbIpServer Server;
    std::string BusId;
    explicit TServed(TUsbIpServerLimits ALimits = {})
        : Server(
              [this](const std::string& ALine) {
                  std::lock_guard lock(LogMutex);
                  Log.push_back(ALine);
              },
              ALimits) {
        std::string error;
        EXPECT_TRUE(Server.Listen(0, error)) << error;
        BusId = Server.Offer(Wire);
    }
};

} // namespace

TEST(UsbIpProtocol, HeadersHaveTheKernelsByteLayout) {
    EXPECT_EQ(EncodeOpHeader(OP_REQ_DEVLIST, 0), (std::vector<uint8_t>{0x01, 0x11, 0x80, 0x05, 0, 0, 0, 0}));
    TUsbIpUrbHeader ret;
    ret.dwCommand = USBIP_RET_SUBMIT;
    ret.dwSeqNum = 0x01020304;
    ret.iStatus = USBIP_EPIPE;
    ret.dwActualLength = 18;
    const auto bytes = EncodeUrbHeader(ret);
    ASSERT_EQ(bytes.size(), USBIP_URB_HEADER_SIZE);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 28),
              (std::vector<uint8_t>{0, 0, 0, 3, 1, 2, 3,    4,    0,    0,    0, 0, 0, 0,
                                    0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xE0, 0, 0, 0, 18}));
    // A CMD_SUBMIT as vhci-hcd sends it: GET_DESCRIPTOR(device, 64) on endpoint 0 of device 1-2.
    std::vector<uint8_t> submit = {0, 0, 0, 1, 0, 0, 0, 7, 0,    1, 0, 2,  0, 0, 0,  1,
                                   0, 0, 0, 0, 0, 0, 2, 0, 0,    0, 0, 64, 0, 0, 0,  0,
                                   0, 0, 0, 0, 0, 0, 0, 0, 0x80, 6, 0, 1,  0, 0, 64, 0};
    const TUsbIpUrbHeader command = DecodeUrbHeader(submit.data());
    EXPECT_EQ(command.dwSeqNum, 7u);
    EXPECT_EQ(command.dwDevId, 0x10002u);
    EXPECT_EQ(command.dwTransferFlags, 0x200u);
    EXPECT_EQ(command.dwTransferBufferLength, 64u);
    EXPECT_EQ(command.Setup, (std::array<uint8_t, 8>{0x80, 6, 0, 1, 0, 0, 64, 0}));
    EXPECT_EQ(EncodeUrbHeader(command), submit);
}

TEST(UsbIpProtocol, ClientCommandsOutsideTheProtocolAreRefused) {
    TUsbIpUrbHeader good;
    good.dwCommand = USBIP_CMD_SUBMIT;
    good.dwDirection = USBIP_DIR_IN;
    good.dwEndpoint = 1;
    good.dwTransferBufferLength = 512;
    struct TCase {
        const char* Name;
        void (*Change)(TUsbIpUrbHeader&);
        bool Accepted;
    } cases[] = {
        {"bulk IN read", [](TUsbIpUrbHeader&) {}, true},
        {"non-iso packet count -1", [](TUsbIpUrbHeader& h) { h.dwNumberOfPackets = 0xFFFFFFFF; }, true},
        {"largest transfer", [](TUsbIpUrbHeader& h) { h.dwTransferBufferLength = USBIP_MAX_TRANSFER_LENGTH; },
         true},
        {"oversized transfer",
         [](TUsbIpUrbHeader& h) { h.dwTransferBufferLength = USBIP_MAX_TRANSFER_LENGTH + 1; }, false},
        {"unknown command", [](TUsbIpUrbHeader& h) { h.dwCommand = USBIP_RET_SUBMIT; }, false},
        {"direction 2", [](TUsbIpUrbHeader& h) { h.dwDirection = 2; }, false},
        {"endpoint 16", [](TUsbIpUrbHeader& h) { h.dwEndpoint = 16; }, false},
        {"isochronous", [](TUsbIpUrbHeader& h) { h.dwNumberOfPackets = 8; }, false},
    };
    for (const auto& c : cases) {
        TUsbIpUrbHeader header = good;
        c.Change(header);
        std::string error;
        EXPECT_EQ(CheckClientCommand(header, error), c.Accepted) << c.Name;
    }
}

TEST(UsbIpLocalAttach, TakesTheFirstFreePortOfTheDevicesHub) {
    const std::string status = "hub port sta spd dev      sockfd local_busid\n"
                               "hs  0000 006 002 00010002 000003 1-2\n"
                               "hs  0001 004 000 00000000 000000 0-0\n"
                               "ss  0008 004 000 00000000 000000 0-0\n";
    EXPECT_EQ(FreeVhciPort(status, USBIP_SPEED_FULL), 1u);
    EXPECT_EQ(FreeVhciPort(status, USBIP_SPEED_SUPER), 8u);
    EXPECT_EQ(FreeVhciPort("hub port sta spd dev      sockfd local_busid\n"
                           "hs  0000 006 002 00010002 000003 1-2\n",
                           USBIP_SPEED_HIGH),
              std::nullopt);
}

TEST(UsbIpServer, ListsAndImportsTheOfferedDevice) {
    TServed served;
    EXPECT_EQ(served.BusId, "1-2");
    TClient lister(served.Server.Port());
    lister.Send(EncodeOpHeader(OP_REQ_DEVLIST, 0));
    const auto header = lister.Read(USBIP_OP_HEADER_SIZE + 4 + USBIP_DEVICE_RECORD_SIZE + 4);
    ASSERT_EQ(header.size(), USBIP_OP_HEADER_SIZE + 4 + USBIP_DEVICE_RECORD_SIZE + 4);
    EXPECT_EQ(DecodeOpHeader(header.data()).wCode, OP_REP_DEVLIST);
    EXPECT_EQ(header[11], 1); // one device
    const TUsbIpDeviceRecord listed = DecodeDeviceRecord(&header[12]);
    EXPECT_EQ(listed.BusId, "1-2");
    EXPECT_EQ(listed.idVendor, 0x1234);
    EXPECT_EQ(listed.idProduct, 0x5678);
    EXPECT_EQ(listed.dwSpeed, USBIP_SPEED_FULL);
    EXPECT_EQ(listed.bConfigurationValue, 1);
    EXPECT_EQ(std::vector<uint8_t>(header.end() - 4, header.end()),
              (std::vector<uint8_t>{0xFF, 0x01, 0x02, 0}));
    EXPECT_TRUE(lister.Closed());

    TClient unknown(served.Server.Port());
    EXPECT_EQ(unknown.Import("1-9"), std::nullopt);
    TClient client(served.Server.Port());
    const auto record = client.Import("1-2");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->DevId(), 0x10002u);
    // Imported once only.
    TClient second(served.Server.Port());
    EXPECT_EQ(second.Import("1-2"), std::nullopt);
}

// Whether a new client gets the device list.
bool ListsDevices(uint16_t APort) {
    TClient lister(APort);
    lister.Send(EncodeOpHeader(OP_REQ_DEVLIST, 0));
    return lister.Read(USBIP_OP_HEADER_SIZE).size() == USBIP_OP_HEADER_SIZE;
}

bool Logged(TServed& AServed, const std::string& ALine) {
    std::lock_guard lock(AServed.LogMutex);
    return std::find(AServed.Log.begin(), AServed.Log.end(), ALine) != AServed.Log.end();
}

TEST(UsbIpServer, IdleAndSurplusClientsCannotStarveIt) {
    TServed served({.MaxClients = 2, .IdleBeforeImportMs = 500});
    const uint16_t port = served.Server.Port();
    {
        // Two idle clients fill the server; a third is refused at once.
        TClient idle1(port), idle2(port);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        TClient surplus(port);
        EXPECT_TRUE(surplus.Closed());
        EXPECT_TRUE(Logged(served, "usbip: client refused: 2 clients are served already"));
        // The idle ones are let go, and the server serves again.
        EXPECT_TRUE(idle1.Closed());
        EXPECT_TRUE(idle2.Closed());
        EXPECT_TRUE(Logged(served, "usbip: client disconnected: idle for 500 ms before importing a device"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(ListsDevices(port));
    // An importing client may stay quiet longer than that.
    TClient importer(port);
    ASSERT_TRUE(importer.Import(served.BusId));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    importer.Submit(1, 0x10002, 0, 3, {0xC0, 1, 0, 0, 0, 0, 3, 0});
    EXPECT_EQ(importer.Reply().iStatus, 0);
}

// Not under AddressSanitizer: the sanitizers' own checks open descriptors and fail without them.
#ifndef __SANITIZE_ADDRESS__
TEST(UsbIpServer, KeepsAcceptingAfterRunningOutOfFileDescriptors) {
    TServed served({.MaxClients = 64, .IdleBeforeImportMs = 300});
    const uint16_t port = served.Server.Port();
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // The clients' sockets first, so the server's accepts cannot take their descriptors; then room
    // for one accepted client only.
    std::vector<int> sockets;
    for (int i = 0; i < 5; ++i)
        sockets.push_back(socket(AF_INET, SOCK_STREAM, 0));
    int limit = 0;
    for (int free = 0; free < 1; ++limit)
        free += fcntl(limit, F_GETFD) == -1 ? 1 : 0;
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(limit);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    {
        std::vector<std::unique_ptr<TClient>> clients;
        for (int fd : sockets)
            clients.push_back(std::make_unique<TClient>(port, fd));
        // The accepted ones idle out, the waiting ones are taken in turn and idle out as well.
        for (auto& client : clients)
            EXPECT_TRUE(client->Closed());
        EXPECT_TRUE(Logged(served, "usbip: cannot accept a client: Too many open files"));
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_TRUE(ListsDevices(port));
}
#endif

TEST(UsbIpServer, CarriesControlAndInTransfersAndUnlinks) {
    TServed served;
    TClient client(served.Server.Port());
    const uint32_t devId = client.Import(served.BusId)->DevId();
    struct TCase {
        const char* Name;
        std::array<uint8_t, 8> Setup;
        int32_t Status;
        std::vector<uint8_t> Data;
    } cases[] = {
        {"device descriptor, cut to wLength",
         {0x80, 6, 0, 1, 0, 0, 8, 0},
         0,
         {18, 1, 0x00, 0x02, 0, 0, 0, 64}},
        {"set configuration", {0x00, 9, 1, 0, 0, 0, 0, 0}, 0, {}},
        {"vendor request", {0xC0, 1, 0, 0, 0, 0, 3, 0}, 0, {0, 1, 2}},
        {"stall", {0xC0, 2, 0, 0, 0, 0, 3, 0}, USBIP_EPIPE, {}},
    };
    uint32_t seqNum = 0;
    for (const auto& c : cases) {
        client.Submit(++seqNum, devId, 0, c.Setup[6], c.Setup);
        const TUsbIpUrbHeader reply = client.Reply();
        EXPECT_EQ(reply.dwCommand, USBIP_RET_SUBMIT) << c.Name;
        EXPECT_EQ(reply.dwSeqNum, seqNum) << c.Name;
        EXPECT_EQ(reply.iStatus, c.Status) << c.Name;
        EXPECT_EQ(client.Read(reply.dwActualLength), c.Data) << c.Name;
    }
    // Two reads in flight: the first is unlinked and never answered, the second gets the packet.
    client.Submit(10, devId, 1, 64);
    client.Submit(11, devId, 1, 64);
    TUsbIpUrbHeader unlink;
    unlink.dwCommand = USBIP_CMD_UNLINK;
    unlink.dwSeqNum = 12;
    unlink.dwDevId = devId;
    unlink.dwUnlinkSeqNum = 10;
    client.Send(EncodeUrbHeader(unlink));
    TUsbIpUrbHeader reply = client.Reply();
    EXPECT_EQ(reply.dwCommand, USBIP_RET_UNLINK);
    EXPECT_EQ(reply.dwSeqNum, 12u);
    EXPECT_EQ(reply.iStatus, USBIP_ECONNRESET);
    // The unlinked read leaves the device once the server has cancelled it.
    for (int i = 0; i < 500 && served.Wire->PendingReads() != 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    served.Wire->Push({7, 8, 9});
    reply = client.Reply();
    EXPECT_EQ(reply.dwSeqNum, 11u);
    EXPECT_EQ(client.Read(reply.dwActualLength), (std::vector<uint8_t>{7, 8, 9}));
    // An unlink of a URB already answered says so with status 0.
    unlink.dwSeqNum = 13;
    unlink.dwUnlinkSeqNum = 11;
    client.Send(EncodeUrbHeader(unlink));
    reply = client.Reply();
    EXPECT_EQ(reply.dwSeqNum, 13u);
    EXPECT_EQ(reply.iStatus, 0);
}

TEST(UsbIpServer, AGoneDeviceIsWithdrawnAndItsClientDisconnected) {
    TServed served;
    std::vector<std::string> offered;
    served.Server.SetOfferObserver(
        [&](const TUsbIpDeviceRecord& ARecord) { offered.push_back(ARecord.BusId); });
    TClient client(served.Server.Port());
    const uint32_t devId = client.Import(served.BusId)->DevId();
    client.Submit(1, devId, 0, 0, {0xC0, 3, 0, 0, 0, 0, 0, 0}); // never answered by the device
    served.Wire->Go();
    EXPECT_TRUE(client.Closed());
    // The device that came back is a new wire under a new bus id; the old one cannot be imported.
    const auto back = std::make_shared<TTestWire>();
    EXPECT_EQ(served.Server.Offer(back), "1-3");
    EXPECT_EQ(offered, std::vector<std::string>{"1-3"});
    TClient late(served.Server.Port());
    EXPECT_EQ(late.Import("1-2"), std::nullopt);
    TClient again(served.Server.Port());
    EXPECT_TRUE(again.Import("1-3"));
}

TEST(UsbIpServer, AClientBreakingTheProtocolIsDisconnectedAndOthersAreStillServed) {
    TServed served;
    const std::string victim = served.Server.Offer(std::make_shared<TTestWire>());
    TClient bystander(served.Server.Port());
    const uint32_t devId = bystander.Import(served.BusId)->DevId();
    const auto submit = [](uint32_t ADevId, uint32_t AEndpoint, uint32_t ALength, uint32_t APackets,
                           std::array<uint8_t, 8> ASetup = {}) {
        TUsbIpUrbHeader command;
        command.dwCommand = USBIP_CMD_SUBMIT;
        command.dwDevId = ADevId;
        command.dwDirection = USBIP_DIR_IN;
        command.dwEndpoint = AEndpoint;
        command.dwTransferBufferLength = ALength;
        command.dwNumberOfPackets = APackets;
        command.Setup = ASetup;
        return EncodeUrbHeader(command);
    };
    auto unterminated = EncodeOpHeader(OP_REQ_IMPORT, 0);
    unterminated.resize(unterminated.size() + USBIP_BUSID_SIZE, 'x');
    const uint32_t victimId = 0x10003;
    struct TCase {
        const char* Name;
        bool Imports;
        std::vector<uint8_t> Bytes;
    } cases[] = {
        {"old protocol version", false, {0x01, 0x06, 0x80, 0x05, 0, 0, 0, 0}},
        {"unknown operation", false, {0x01, 0x11, 0x80, 0x07, 0, 0, 0, 0}},
        {"bus id without an end", false, unterminated},
        {"oversized transfer", true, submit(victimId, 1, USBIP_MAX_TRANSFER_LENGTH + 1, 0)},
        {"endpoint 16", true, submit(victimId, 16, 64, 0)},
        {"isochronous", true, submit(victimId, 1, 64, 4)},
        {"another device's id", true, submit(devId, 1, 64, 0)},
        {"setup against the URB's direction", true, submit(victimId, 0, 8, 0, {0x40, 1, 0, 0, 0, 0, 8, 0})},
        {"a reply as a command", true, EncodeUrbHeader({USBIP_RET_SUBMIT, 1, victimId})},
    };
    for (const auto& c : cases) {
        TClient client(served.Server.Port());
        if (c.Imports) {
            ASSERT_TRUE(client.Import(victim)) << c.Name;
        }
        client.Send(c.Bytes);
        EXPECT_TRUE(client.Closed()) << c.Name;
    }
    bystander.Submit(1, devId, 0, 3, {0xC0, 1, 0, 0, 0, 0, 3, 0});
    const TUsbIpUrbHeader reply = bystander.Reply();
    EXPECT_EQ(reply.iStatus, 0);
    EXPECT_EQ(bystander.Read(reply.dwActualLength), (std::vector<uint8_t>{0, 1, 2}));
    std::lock_guard lock(served.LogMutex);
    EXPECT_NE(
        std::find(served.Log.begin(), served.Log.end(), "usbip: client disconnected: isochronous transfer"),
        served.Log.end());
}
