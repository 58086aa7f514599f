#pragma once
// One HTTP GET into memory. The connection must open within 5 s and the transfer fails when no
// data arrives for the stall time (15 s unless a caller, such as a test, asks for less).
#include <cstdint>
#include <string>
#include <vector>

struct THttpOptions {
    long fConnectTimeoutSeconds = 5;
    long fStallSeconds = 15;
};

// Fills ABody with the response body and returns true when the transfer completed; any HTTP
// status is a completed transfer (the caller checks the content). Returns false, with ABody
// empty, when the server cannot be reached, the transfer breaks off or stalls.
bool HttpGet(const std::string& AUrl, std::vector<std::uint8_t>& ABody, const THttpOptions& AOptions = {});
