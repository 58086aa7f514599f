#pragma once
// TCP sockets for the test servers, the same calls on Linux and Windows.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// winbase.h's FindResource macro would rename the platform's resource lookup.
#undef FindResource
using TSocket = SOCKET;
constexpr TSocket NoSocket = INVALID_SOCKET;
constexpr int ShutBoth = SD_BOTH;
constexpr int SendFlags = 0;
inline void CloseSocket(TSocket ASocket) {
    closesocket(ASocket);
}
// Windows wants its socket library started once per process.
inline void StartSockets() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
using TSocket = int;
constexpr TSocket NoSocket = -1;
constexpr int ShutBoth = SHUT_RDWR;
// A client that went away must not end the test program with SIGPIPE.
constexpr int SendFlags = MSG_NOSIGNAL;
inline void CloseSocket(TSocket ASocket) {
    close(ASocket);
}
inline void StartSockets() {}
#endif

#include <cstddef>

inline int SendBytes(TSocket ASocket, const void* AData, std::size_t ASize) {
    return int(send(ASocket, static_cast<const char*>(AData), int(ASize), SendFlags));
}

// True once the peer has closed its side or the connection broke; never blocks.
inline bool PeerGone(TSocket ASocket) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(ASocket, &readable);
    timeval none{0, 0};
    if (select(int(ASocket) + 1, &readable, nullptr, nullptr, &none) <= 0)
        return false;
    char buffer[256];
    return recv(ASocket, buffer, sizeof buffer, 0) <= 0;
}
