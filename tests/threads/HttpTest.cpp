// HttpGet against a small HTTP server on 127.0.0.1 run by the test itself.
#include "platform/Http.h"
#include "tests/threads/TestHttpServer.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::uint8_t> Pattern(size_t ASize) {
    std::vector<std::uint8_t> bytes(ASize);
    for (size_t i = 0; i < ASize; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    return bytes;
}

} // namespace

TEST(HttpGet, CompleteBodiesArriveByteForByte) {
    TTestHttpServer server;
    server.Route("/valid", Pattern(12345));
    server.Route("/exact", Pattern(30000));
    std::vector<std::uint8_t> body;
    ASSERT_TRUE(HttpGet(server.Url("/valid"), body));
    EXPECT_EQ(body, Pattern(12345));
    // A body that is an exact multiple of the read chunk size still ends cleanly.
    ASSERT_TRUE(HttpGet(server.Url("/exact"), body));
    EXPECT_EQ(body, Pattern(30000));
}

TEST(HttpGet, OnlyA200AnswerIsADownload) {
    TTestHttpServer server;
    server.Route("/html", "<html><body>Service unavailable</body></html>");
    server.Route("/gone", Pattern(5000), TTestHttpServer::TMode::Body, "404 Not Found");
    server.Route("/empty-error", std::vector<std::uint8_t>{}, TTestHttpServer::TMode::Body,
                 "500 Internal Server Error");
    std::vector<std::uint8_t> body;
    // A 200 error page is the caller's to reject by its content.
    ASSERT_TRUE(HttpGet(server.Url("/html"), body));
    EXPECT_EQ(std::string(body.begin(), body.end()), "<html><body>Service unavailable</body></html>");
    for (const char* path : {"/gone", "/empty-error", "/missing"}) {
        body = {1};
        EXPECT_EQ(HttpDownload(server.Url(path), body), THttpOutcome::NotOk) << path;
        EXPECT_TRUE(body.empty()) << path;
    }
}

TEST(HttpGet, BrokenTransfersFailWithNoBytes) {
    TTestHttpServer server;
    server.Route("/truncated", Pattern(1000), TTestHttpServer::TMode::Truncated);
    server.Route("/stall", Pattern(5000), TTestHttpServer::TMode::Stall);
    std::vector<std::uint8_t> body{1, 2, 3};
    EXPECT_EQ(HttpDownload(server.Url("/truncated"), body), THttpOutcome::Failed);
    EXPECT_TRUE(body.empty());

    THttpOptions shortStall;
    shortStall.fStallSeconds = 1;
    body = {1};
    EXPECT_EQ(HttpDownload(server.Url("/stall"), body, shortStall), THttpOutcome::TooSlow);
    EXPECT_TRUE(body.empty());
}

// Each case leaves only one limit able to end the trickle of 2 bytes every 50 ms (40 B/s), so
// the outcome tells which limit acted.
TEST(HttpGet, ASlowBodyEndsAtTheDeadlineOrForItsAverageRate) {
    TTestHttpServer server;
    server.Route("/trickle", Pattern(100000), TTestHttpServer::TMode::Trickle);
    struct TCase {
        const char* fWhat;
        std::chrono::milliseconds fDeadline;
        long fMinBytesPerSecond;
        std::chrono::milliseconds fRateWindow;
    };
    const TCase cases[] = {
        {"deadline", std::chrono::milliseconds(700), 0, std::chrono::milliseconds(60000)},
        {"average rate", std::chrono::milliseconds(60000), 1024, std::chrono::milliseconds(500)},
    };
    for (const TCase& c : cases) {
        THttpOptions options;
        options.fDeadline = c.fDeadline;
        options.fMinBytesPerSecond = c.fMinBytesPerSecond;
        options.fRateWindow = c.fRateWindow;
        std::vector<std::uint8_t> body{1};
        EXPECT_EQ(HttpDownload(server.Url("/trickle"), body, options), THttpOutcome::TooSlow) << c.fWhat;
        EXPECT_TRUE(body.empty()) << c.fWhat;
    }
}

TEST(HttpGet, ABodyPastTheCapIsRefusedAnnouncedOrNot) {
    TTestHttpServer server;
    server.Route("/announced", Pattern(50000));
    server.Route("/unannounced", Pattern(50000), TTestHttpServer::TMode::Unannounced);
    server.Route("/at-cap", Pattern(10000), TTestHttpServer::TMode::Unannounced);
    THttpOptions options;
    options.fMaxBodyBytes = 10000;
    std::vector<std::uint8_t> body{1};
    for (const char* path : {"/announced", "/unannounced"}) {
        EXPECT_EQ(HttpDownload(server.Url(path), body, options), THttpOutcome::TooLarge) << path;
        EXPECT_TRUE(body.empty()) << path;
    }
    ASSERT_EQ(HttpDownload(server.Url("/at-cap"), body, options), THttpOutcome::Downloaded);
    EXPECT_EQ(body, Pattern(10000));
}

TEST(HttpGet, CancellationEndsATransferThatWouldOtherwiseWait) {
    TTestHttpServer server;
    server.Route("/stall", Pattern(5000), TTestHttpServer::TMode::Stall);
    std::atomic<bool> cancel{false};
    THttpOptions options;
    options.fCancel = &cancel;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel = true;
    });
    std::vector<std::uint8_t> body{1};
    EXPECT_EQ(HttpDownload(server.Url("/stall"), body, options), THttpOutcome::Cancelled);
    EXPECT_TRUE(body.empty());
    canceller.join();
    // A transfer begun after cancellation ends before it asks for anything.
    EXPECT_EQ(HttpDownload(server.Url("/stall"), body, options), THttpOutcome::Cancelled);
}

TEST(HttpGet, NoServerFails) {
    std::vector<std::uint8_t> body{9};
    EXPECT_FALSE(HttpGet("http://127.0.0.1:" + std::to_string(UnusedLocalPort()) + "/valid", body));
    EXPECT_TRUE(body.empty());
}
