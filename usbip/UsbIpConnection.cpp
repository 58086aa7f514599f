#include "usbip/UsbIpConnection.h"

#include "platform/LittleEndian.h"
#include "platform/UsbDescriptorWalk.h"
#include "platform/WinError.h"
#include "usbip/UsbIpSocket.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// A client that does not read its replies for this long is disconnected, so a stalled client
// never holds up the device threads that send them.
constexpr int SendTimeoutSeconds = 5;

struct TLocalAnswer {
    uint32_t Result;
    std::vector<uint8_t> Data;
};

TUsbSetupPacket SetupOf(const std::array<uint8_t, 8>& ABytes) {
    return {ABytes[0], ABytes[1], GetLE16(&ABytes[2]), GetLE16(&ABytes[4]), GetLE16(&ABytes[6])};
}

// The standard requests the server answers itself, as the kernel's own USB/IP server does: the
// descriptors the device told at enumeration, the choice of its one configuration and alternate
// setting, and the clearing of an endpoint halt. None: the request goes to the device.
std::optional<TLocalAnswer> AnswerLocally(TUsbWire& AWire, const TUsbSetupPacket& ASetup) {
    const auto cut = [&](std::vector<uint8_t> ADescriptor) {
        if (ADescriptor.size() > ASetup.Length)
            ADescriptor.resize(ASetup.Length);
        return TLocalAnswer{ERROR_SUCCESS, std::move(ADescriptor)};
    };
    const uint8_t type = uint8_t(ASetup.Value >> 8);
    if (ASetup.RequestType == USB_REQUEST_TYPE_DEVICE_IN && ASetup.Request == USB_REQUEST_GET_DESCRIPTOR) {
        if (type == USB_DESCRIPTOR_DEVICE)
            return cut(AWire.DeviceDescriptor());
        if (type == USB_DESCRIPTOR_CONFIGURATION && (ASetup.Value & 0xFF) == 0)
            return cut(AWire.ConfigurationDescriptor());
    }
    const auto configuration = AWire.ConfigurationDescriptor();
    const uint8_t value = configuration.size() > 5 ? configuration[5] : 1;
    if (ASetup.RequestType == USB_REQUEST_TYPE_DEVICE_IN && ASetup.Request == USB_REQUEST_GET_CONFIGURATION)
        return cut({value});
    if (ASetup.RequestType == USB_REQUEST_TYPE_DEVICE_OUT && ASetup.Request == USB_REQUEST_SET_CONFIGURATION)
        return TLocalAnswer{ASetup.Value == value || ASetup.Value == 0 ? ERROR_SUCCESS : ERROR_GEN_FAILURE,
                            {}};
    if (ASetup.RequestType == USB_REQUEST_TYPE_INTERFACE_OUT && ASetup.Request == USB_REQUEST_SET_INTERFACE)
        return TLocalAnswer{ASetup.Value == 0 ? ERROR_SUCCESS : ERROR_GEN_FAILURE, {}};
    // CLEAR_FEATURE(ENDPOINT_HALT) to an endpoint.
    if (ASetup.RequestType == USB_REQUEST_TYPE_ENDPOINT_OUT && ASetup.Request == USB_REQUEST_CLEAR_FEATURE &&
        ASetup.Value == 0)
        return TLocalAnswer{AWire.ClearHalt(uint8_t(ASetup.Index)), {}};
    return std::nullopt;
}

} // namespace

TUsbIpConnection::TUsbIpConnection(int AFd, TUsbIpDeviceTable& ATable, TLog ALog,
                                   uint32_t AIdleBeforeImportMs)
    : fTable(ATable), fLog(std::move(ALog)), fFd(AFd), fIdleBeforeImportMs(AIdleBeforeImportMs) {
    timeval timeout{SendTimeoutSeconds, 0};
    setsockopt(fFd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    SetReceiveLimit(fIdleBeforeImportMs);
}

void TUsbIpConnection::SetReceiveLimit(uint32_t AMilliseconds) {
    timeval timeout{time_t(AMilliseconds / 1000), suseconds_t(AMilliseconds % 1000 * 1000)};
    setsockopt(fFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

TUsbIpConnection::~TUsbIpConnection() {
    if (fFd >= 0)
        close(fFd);
}

void TUsbIpConnection::Disconnect() {
    std::lock_guard lock(fMutex);
    fDisconnected = true;
    if (fFd >= 0)
        shutdown(fFd, SHUT_RDWR);
}

bool TUsbIpConnection::Receive(void* ABuffer, size_t ALength) {
    errno = 0;
    if (ReceiveAll(fFd, ABuffer, ALength))
        return true;
    // The receive limit ran out: a client idle before its import.
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        fLog("usbip: client disconnected: idle for " + std::to_string(fIdleBeforeImportMs) +
             " ms before importing a device");
    return false;
}

void TUsbIpConnection::SendLocked(const std::vector<uint8_t>& ABytes) {
    if (fDisconnected || SendAll(fFd, ABytes.data(), ABytes.size()))
        return;
    fDisconnected = true;
    shutdown(fFd, SHUT_RDWR);
}

void TUsbIpConnection::Serve() {
    ServeClient();
    // Closed only here (the connection's own thread), so no other thread's send or shutdown can
    // reach a descriptor number that has been reused meanwhile.
    std::lock_guard lock(fMutex);
    fDisconnected = true;
    close(fFd);
    fFd = -1;
}

void TUsbIpConnection::ServeClient() {
    uint8_t header[USBIP_OP_HEADER_SIZE];
    if (!Receive(header, sizeof header))
        return;
    const TUsbIpOpHeader op = DecodeOpHeader(header);
    auto refuse = [&](const std::string& AWhy) { fLog("usbip: client disconnected: " + AWhy); };
    if (op.wVersion != USBIP_VERSION)
        return refuse("protocol version " + HexText(op.wVersion));
    if (op.wCode == OP_REQ_DEVLIST) {
        const auto reply = EncodeDeviceList(fTable.ListDevices());
        std::lock_guard lock(fMutex);
        SendLocked(reply);
        return;
    }
    if (op.wCode != OP_REQ_IMPORT)
        return refuse("operation " + HexText(op.wCode));
    uint8_t busIdBytes[USBIP_BUSID_SIZE];
    if (!Receive(busIdBytes, sizeof busIdBytes))
        return;
    const auto busId = DecodeBusId(busIdBytes);
    if (!busId)
        return refuse("bus id without an end");
    const auto import = fTable.Import(*busId, shared_from_this());
    {
        std::lock_guard lock(fMutex);
        SendLocked(EncodeImportReply(import ? &import->Record : nullptr));
    }
    if (!import)
        return;
    // An importing client may stay quiet as long as it likes.
    SetReceiveLimit(0);
    ServeUrbs(*import);
    fTable.Release(*busId, *this);
}

void TUsbIpConnection::ServeUrbs(const TUsbIpImport& AImport) {
    std::string error;
    for (;;) {
        uint8_t bytes[USBIP_URB_HEADER_SIZE];
        if (!Receive(bytes, sizeof bytes))
            break;
        const TUsbIpUrbHeader command = DecodeUrbHeader(bytes);
        if (!CheckClientCommand(command, error))
            break;
        if (command.dwDevId != AImport.Record.DevId()) {
            error = "device id " + HexText(command.dwDevId);
            break;
        }
        if (command.dwCommand == USBIP_CMD_UNLINK) {
            Unlink(AImport, command);
            continue;
        }
        std::vector<uint8_t> out;
        if (command.dwDirection == USBIP_DIR_OUT) {
            out.resize(command.dwTransferBufferLength);
            if (!Receive(out.data(), out.size()))
                break;
        }
        if (!Submit(AImport, command, std::move(out))) {
            error = "malformed submit " + std::to_string(command.dwSeqNum);
            break;
        }
    }
    std::map<uint32_t, uint64_t> abandoned;
    {
        std::lock_guard lock(fMutex);
        if (!error.empty() && !fDisconnected)
            fLog("usbip: client disconnected: " + error);
        fDisconnected = true;
        abandoned.swap(fInFlight);
    }
    for (const auto& [seqNum, id] : abandoned)
        AImport.Wire->CancelTransfer(id);
}

bool TUsbIpConnection::Submit(const TUsbIpImport& AImport, const TUsbIpUrbHeader& ACommand,
                              std::vector<uint8_t> AOut) {
    const uint32_t seqNum = ACommand.dwSeqNum;
    const bool in = ACommand.dwDirection == USBIP_DIR_IN;
    const uint32_t length = ACommand.dwTransferBufferLength;
    const TUsbSetupPacket setup = SetupOf(ACommand.Setup);
    if (ACommand.dwEndpoint == 0) {
        // The setup packet must agree with the URB on direction and length.
        if (((setup.RequestType & 0x80) != 0) != in || (in ? setup.Length > length : setup.Length != length))
            return false;
    }
    {
        std::lock_guard lock(fMutex);
        if (!fInFlight.emplace(seqNum, 0).second)
            return false;
    }
    auto self = shared_from_this();
    uint64_t id = 0;
    uint32_t result = ERROR_INVALID_PARAMETER; // OUT endpoints other than the default pipe are not served
    if (ACommand.dwEndpoint == 0) {
        if (auto local = AnswerLocally(*AImport.Wire, setup)) {
            const auto size = uint32_t(local->Data.size());
            Complete(seqNum, in, local->Result, size, std::move(local->Data));
            return true;
        }
        result = AImport.Wire->SubmitControl(
            setup, std::move(AOut), 0,
            [self, seqNum, in](uint32_t AResult, uint32_t ATransferred, std::vector<uint8_t> AData) {
                self->Complete(seqNum, in, AResult, ATransferred, std::move(AData));
            },
            id);
    } else if (in) {
        result = AImport.Wire->SubmitRead(
            uint8_t(0x80 | ACommand.dwEndpoint), length,
            [self, seqNum, length](uint32_t AResult, std::vector<uint8_t> AData) {
                // More than was asked for is the device's overflow, never more bytes to the client.
                if (AData.size() > length) {
                    AData.clear();
                    AResult = ERROR_INSUFFICIENT_BUFFER;
                }
                const auto size = uint32_t(AData.size());
                self->Complete(seqNum, true, AResult, size, std::move(AData));
            },
            id);
    }
    if (result != ERROR_SUCCESS) {
        Complete(seqNum, in, result, 0, {});
        return true;
    }
    std::lock_guard lock(fMutex);
    // Still there unless it has completed already.
    if (auto it = fInFlight.find(seqNum); it != fInFlight.end())
        it->second = id;
    return true;
}

void TUsbIpConnection::Complete(uint32_t ASeqNum, bool AIn, uint32_t AResult, uint32_t ATransferred,
                                std::vector<uint8_t> AData) {
    std::lock_guard lock(fMutex);
    // An unlinked URB was answered by its RET_UNLINK; the client must not hear of it again.
    if (fInFlight.erase(ASeqNum) == 0)
        return;
    TUsbIpUrbHeader reply;
    reply.dwCommand = USBIP_RET_SUBMIT;
    reply.dwSeqNum = ASeqNum;
    reply.iStatus = UsbIpStatusOf(AResult);
    if (!AIn || AResult != ERROR_SUCCESS)
        AData.clear();
    reply.dwActualLength = AIn ? uint32_t(AData.size()) : (AResult == ERROR_SUCCESS ? ATransferred : 0);
    std::vector<uint8_t> bytes = EncodeUrbHeader(reply);
    bytes.insert(bytes.end(), AData.begin(), AData.end());
    SendLocked(bytes);
}

void TUsbIpConnection::Unlink(const TUsbIpImport& AImport, const TUsbIpUrbHeader& ACommand) {
    std::optional<uint64_t> cancel;
    {
        std::lock_guard lock(fMutex);
        TUsbIpUrbHeader reply;
        reply.dwCommand = USBIP_RET_UNLINK;
        reply.dwSeqNum = ACommand.dwSeqNum;
        // Answered under the lock, so a RET_SUBMIT for the URB can never follow its RET_UNLINK.
        if (auto it = fInFlight.find(ACommand.dwUnlinkSeqNum); it != fInFlight.end()) {
            cancel = it->second;
            fInFlight.erase(it);
            reply.iStatus = USBIP_ECONNRESET;
        }
        SendLocked(EncodeUrbHeader(reply));
    }
    if (cancel)
        AImport.Wire->CancelTransfer(*cancel);
}
