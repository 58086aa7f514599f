#pragma once
// A small HTTP server on 127.0.0.1 for the download suites: one connection at a time, each path
// answered with a fixed body, an error page, a truncated body, a stall, a trickle or a body of
// unannounced length.
#include "tests/support/TestSockets.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TTestHttpServer {
public:
    enum class TMode { Body, Truncated, Stall, Trickle, Unannounced };

    TTestHttpServer() {
        StartSockets();
        fListen = socket(AF_INET, SOCK_STREAM, 0);
        int yes = 1;
        setsockopt(fListen, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(fListen, reinterpret_cast<sockaddr*>(&addr), &len);
        fPort = ntohs(addr.sin_port);
        listen(fListen, 8);
        fThread = std::thread([this] { Serve(); });
    }
    ~TTestHttpServer() {
        fStop = true;
        shutdown(fListen, ShutBoth);
        CloseSocket(fListen);
        fThread.join();
    }
    TTestHttpServer(const TTestHttpServer&) = delete;
    TTestHttpServer& operator=(const TTestHttpServer&) = delete;

    std::string Url(const std::string& APath) const {
        return "http://127.0.0.1:" + std::to_string(fPort) + APath;
    }
    // Answers APath with status AStatus and ABody; Truncated announces more than it sends, Stall
    // sends the first 100 bytes and then nothing while keeping the connection open, Trickle sends
    // 2 bytes every 50 ms, Unannounced sends no Content-Length and ends the body by closing.
    void Route(const std::string& APath, std::vector<std::uint8_t> ABody, TMode AMode = TMode::Body,
               const std::string& AStatus = "200 OK") {
        std::lock_guard lock(fMutex);
        fRoutes[APath] = {std::move(ABody), AMode, AStatus};
    }
    void Route(const std::string& APath, const std::string& ABody, const std::string& AStatus = "200 OK") {
        Route(APath, std::vector<std::uint8_t>(ABody.begin(), ABody.end()), TMode::Body, AStatus);
    }
    // Paths requested so far, in order.
    std::vector<std::string> Requests() const {
        std::lock_guard lock(fMutex);
        return fRequests;
    }

private:
    struct TRoute {
        std::vector<std::uint8_t> fBody;
        TMode fMode = TMode::Body;
        std::string fStatus;
    };

    void Serve() {
        while (!fStop) {
            const TSocket client = accept(fListen, nullptr, nullptr);
            if (client == NoSocket)
                return;
            Answer(client);
            CloseSocket(client);
        }
    }
    static void Send(TSocket AClient, const void* AData, size_t ASize) { SendBytes(AClient, AData, ASize); }
    void Answer(TSocket AClient) {
        std::string request;
        char buf[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const int n = int(recv(AClient, buf, sizeof buf, 0));
            if (n <= 0)
                return;
            request.append(buf, static_cast<size_t>(n));
        }
        const std::string path = request.substr(4, request.find(' ', 4) - 4);
        TRoute route{std::vector<std::uint8_t>{}, TMode::Body, "404 Not Found"};
        {
            std::lock_guard lock(fMutex);
            fRequests.push_back(path);
            if (auto it = fRoutes.find(path); it != fRoutes.end())
                route = it->second;
            else
                route.fBody = Bytes("<html><body>Not found</body></html>");
        }
        const bool cutShort = route.fMode == TMode::Truncated || route.fMode == TMode::Stall;
        const size_t announced = cutShort ? route.fBody.size() * 2 : route.fBody.size();
        const std::string length =
            route.fMode == TMode::Unannounced ? "" : "\r\nContent-Length: " + std::to_string(announced);
        const std::string head = "HTTP/1.1 " + route.fStatus + length + "\r\nConnection: close\r\n\r\n";
        Send(AClient, head.data(), head.size());
        if (route.fMode == TMode::Trickle) {
            for (size_t at = 0; at < route.fBody.size() && !fStop; at += 2) {
                if (SendBytes(AClient, route.fBody.data() + at,
                              std::min<size_t>(2, route.fBody.size() - at)) < 0)
                    return;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            return;
        }
        const size_t sent =
            route.fMode == TMode::Stall ? std::min<size_t>(100, route.fBody.size()) : route.fBody.size();
        Send(AClient, route.fBody.data(), sent);
        if (route.fMode == TMode::Stall) {
            // Holds the connection open without data until the client gives up or the server ends.
            while (!fStop && !PeerGone(AClient))
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    static std::vector<std::uint8_t> Bytes(const std::string& AText) { return {AText.begin(), AText.end()}; }

    TSocket fListen = NoSocket;
    int fPort = 0;
    std::atomic<bool> fStop{false};
    mutable std::mutex fMutex;
    std::map<std::string, TRoute> fRoutes;
    std::vector<std::string> fRequests;
    std::thread fThread;
};

// A port on 127.0.0.1 that was just free: nothing listens there.
inline int UnusedLocalPort() {
    StartSockets();
    const TSocket probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    CloseSocket(probe);
    return ntohs(addr.sin_port);
}
