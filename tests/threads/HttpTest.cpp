// HttpGet against a small HTTP server on 127.0.0.1 run by the test itself.
#include "platform/Http.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

std::vector<std::uint8_t> Pattern(size_t ASize) {
    std::vector<std::uint8_t> bytes(ASize);
    for (size_t i = 0; i < ASize; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    return bytes;
}

// Serves one fixed set of paths, one connection at a time, until destroyed.
class TTestServer {
public:
    TTestServer() {
        fListen = socket(AF_INET, SOCK_STREAM, 0);
        int yes = 1;
        setsockopt(fListen, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
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
    ~TTestServer() {
        fStop = true;
        shutdown(fListen, SHUT_RDWR);
        close(fListen);
        fThread.join();
    }
    std::string Url(const std::string& APath) const {
        return "http://127.0.0.1:" + std::to_string(fPort) + APath;
    }

private:
    void Serve() {
        while (!fStop) {
            const int client = accept(fListen, nullptr, nullptr);
            if (client < 0)
                return;
            Answer(client);
            close(client);
        }
    }
    static void Send(int AClient, const std::string& AText) {
        send(AClient, AText.data(), AText.size(), MSG_NOSIGNAL);
    }
    static void SendBody(int AClient, const std::vector<std::uint8_t>& ABody) {
        send(AClient, ABody.data(), ABody.size(), MSG_NOSIGNAL);
    }
    void Answer(int AClient) {
        std::string request;
        char buf[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = recv(AClient, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            request.append(buf, static_cast<size_t>(n));
        }
        const std::string path = request.substr(4, request.find(' ', 4) - 4);
        if (path == "/valid" || path == "/exact") {
            const auto body = Pattern(path == "/valid" ? 12345 : 30000);
            Send(AClient, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\nConnection: close\r\n\r\n");
            SendBody(AClient, body);
        } else if (path == "/html") {
            const std::string page = "<html><body>Service unavailable</body></html>";
            Send(AClient, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                              std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page);
        } else if (path == "/truncated") {
            Send(AClient, "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\nConnection: close\r\n\r\n");
            SendBody(AClient, Pattern(1000));
        } else if (path == "/stall") {
            Send(AClient, "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\nConnection: close\r\n\r\n");
            SendBody(AClient, Pattern(100));
            // Holds the connection open without data until the client gives up or the test ends.
            while (!fStop && recv(AClient, buf, sizeof buf, MSG_DONTWAIT) != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } else {
            const std::string page = "<html><body>Not found</body></html>";
            Send(AClient, "HTTP/1.1 404 Not Found\r\nContent-Length: " + std::to_string(page.size()) +
                              "\r\nConnection: close\r\n\r\n" + page);
        }
    }

    int fListen = -1;
    int fPort = 0;
    std::atomic<bool> fStop{false};
    std::thread fThread;
};

} // namespace

TEST(HttpGet, CompleteBodiesArriveByteForByte) {
    TTestServer server;
    std::vector<std::uint8_t> body;
    ASSERT_TRUE(HttpGet(server.Url("/valid"), body));
    EXPECT_EQ(body, Pattern(12345));
    // A body that is an exact multiple of the read chunk size still ends cleanly.
    ASSERT_TRUE(HttpGet(server.Url("/exact"), body));
    EXPECT_EQ(body, Pattern(30000));
}

TEST(HttpGet, ErrorPagesAreDeliveredForTheCallerToReject) {
    TTestServer server;
    std::vector<std::uint8_t> body;
    ASSERT_TRUE(HttpGet(server.Url("/html"), body));
    EXPECT_EQ(std::string(body.begin(), body.end()), "<html><body>Service unavailable</body></html>");
    ASSERT_TRUE(HttpGet(server.Url("/missing"), body));
    EXPECT_EQ(std::string(body.begin(), body.end()), "<html><body>Not found</body></html>");
}

TEST(HttpGet, BrokenTransfersFailWithNoBytes) {
    TTestServer server;
    std::vector<std::uint8_t> body{1, 2, 3};
    EXPECT_FALSE(HttpGet(server.Url("/truncated"), body));
    EXPECT_TRUE(body.empty());

    THttpOptions shortStall;
    shortStall.fStallSeconds = 1;
    body = {1};
    EXPECT_FALSE(HttpGet(server.Url("/stall"), body, shortStall));
    EXPECT_TRUE(body.empty());
}

TEST(HttpGet, NoServerFails) {
    // A port that was just free: nothing listens there any more.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    close(probe);
    std::vector<std::uint8_t> body{9};
    EXPECT_FALSE(HttpGet("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/valid", body));
    EXPECT_TRUE(body.empty());
}
