#pragma once
// Checks the descriptors a device sends before anything relies on them: a device may answer with
// any bytes at all.
#include "platform/UsbWire.h"

#include <cstdint>
#include <string>
#include <vector>

// "" when the device descriptor and the configuration descriptor (with its interface and endpoint
// descriptors) are well formed and describe interface 0; otherwise what is wrong, for a log line.
std::string UsbDescriptorProblem(const std::vector<uint8_t>& ADevice, const std::vector<uint8_t>& AConfig);

// Checks a newly opened wire before a binding relies on it: its descriptors are well formed and the
// device answers a descriptor request within ATimeoutMs with a well-formed descriptor. 0, or the
// error with AProblem set for a log line: ERROR_DEVICE_NOT_CONNECTED (it has gone),
// ERROR_GEN_FAILURE (garbage, or it stalls), ERROR_SEM_TIMEOUT (no answer).
uint32_t UsbCheckWire(TUsbWire& AWire, uint32_t ATimeoutMs, std::string& AProblem);
