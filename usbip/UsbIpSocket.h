#pragma once
// The TCP sockets of the USB/IP server and of its local attach: the loopback address, whole sends
// and receives that go on after a signal interrupts them, and replies sent without delay.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

// 127.0.0.1 at APort.
sockaddr_in LoopbackAddress(uint16_t APort);

// Sends or receives all ALength bytes; false when the socket fails or the peer closes first.
bool SendAll(int AFd, const void* ABytes, size_t ALength);
bool ReceiveAll(int AFd, void* ABuffer, size_t ALength);

// Small replies leave at once instead of waiting to be joined with later ones.
void SetNoDelay(int AFd);
