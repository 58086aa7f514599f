#pragma once
// The generic driver over a USB wire: control transfers with a setup packet, descriptors, interface
// and pipe queries from the configuration descriptor, pipe policies, and asynchronous IN-pipe reads
// (submit, wait for any, abort, reset) with the generic driver's error numbers:
//   - once the device has gone every call fails with ERROR_INVALID_HANDLE and pending reads
//     complete with it;
//   - a control transfer runs out after the default pipe's PIPE_TRANSFER_TIMEOUT, or the given
//     default limit without one (ERROR_SEM_TIMEOUT);
//   - a read the device stalls (ERROR_GEN_FAILURE) halts the pipe, so that reads fail at submit
//     until ResetPipe clears it, unless AUTO_CLEAR_STALL is set: then the binding clears the halt.
#include "platform/UsbBus.h"
#include "platform/UsbWire.h"

#include <cstdint>
#include <functional>
#include <memory>

// ADefaultTimeoutMs gives, at each control transfer, the time-out used when the default pipe has
// no PIPE_TRANSFER_TIMEOUT policy.
std::unique_ptr<TUsbHandle> MakeGenericHandle(std::shared_ptr<TUsbWire> AWire,
                                              std::function<uint32_t()> ADefaultTimeoutMs);
