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

TEST(HttpGet, ErrorPagesAreDeliveredForTheCallerToReject) {
    TTestHttpServer server;
    server.Route("/html", "<html><body>Service unavailable</body></html>");
    std::vector<std::uint8_t> body;
    ASSERT_TRUE(HttpGet(server.Url("/html"), body));
    EXPECT_EQ(std::string(body.begin(), body.end()), "<html><body>Service unavailable</body></html>");
    ASSERT_TRUE(HttpGet(server.Url("/missing"), body));
    EXPECT_EQ(std::string(body.begin(), body.end()), "<html><body>Not found</body></html>");
}

TEST(HttpGet, BrokenTransfersFailWithNoBytes) {
    TTestHttpServer server;
    server.Route("/truncated", Pattern(1000), TTestHttpServer::TMode::Truncated);
    server.Route("/stall", Pattern(5000), TTestHttpServer::TMode::Stall);
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
    std::vector<std::uint8_t> body{9};
    EXPECT_FALSE(HttpGet("http://127.0.0.1:" + std::to_string(UnusedLocalPort()) + "/valid", body));
    EXPECT_TRUE(body.empty());
}
