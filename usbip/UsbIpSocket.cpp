#include "usbip/UsbIpSocket.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

sockaddr_in LoopbackAddress(uint16_t APort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(APort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool SendAll(int AFd, const void* ABytes, size_t ALength) {
    const auto* bytes = static_cast<const uint8_t*>(ABytes);
    while (ALength > 0) {
        const ssize_t sent = send(AFd, bytes, ALength, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        bytes += sent;
        ALength -= size_t(sent);
    }
    return true;
}

bool ReceiveAll(int AFd, void* ABuffer, size_t ALength) {
    auto* bytes = static_cast<uint8_t*>(ABuffer);
    while (ALength > 0) {
        const ssize_t got = recv(AFd, bytes, ALength, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        ALength -= size_t(got);
    }
    return true;
}

void SetNoDelay(int AFd) {
    const int yes = 1;
    setsockopt(AFd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}
