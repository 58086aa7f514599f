#pragma once
// libusb's results as the system error numbers the bindings and the library handle:
//
//  libusb                                      system error
//  ------------------------------------------  ---------------------------------------
//  LIBUSB_SUCCESS, LIBUSB_TRANSFER_COMPLETED   ERROR_SUCCESS
//  LIBUSB_ERROR_PIPE, LIBUSB_TRANSFER_STALL    ERROR_GEN_FAILURE (the device stalled)
//  LIBUSB_ERROR_IO, LIBUSB_TRANSFER_ERROR,     ERROR_GEN_FAILURE
//  LIBUSB_ERROR_OTHER
//  LIBUSB_ERROR_TIMEOUT, ..._TIMED_OUT         ERROR_SEM_TIMEOUT
//  LIBUSB_ERROR_NO_DEVICE, ..._NO_DEVICE       ERROR_DEVICE_NOT_CONNECTED (the wire's "gone")
//  LIBUSB_TRANSFER_CANCELLED,                  ERROR_OPERATION_ABORTED
//  LIBUSB_ERROR_INTERRUPTED
//  LIBUSB_ERROR_OVERFLOW, ..._OVERFLOW         ERROR_INSUFFICIENT_BUFFER
//  LIBUSB_ERROR_ACCESS                         ERROR_ACCESS_DENIED
//  LIBUSB_ERROR_BUSY                           ERROR_BUSY (another program holds the interface)
//  LIBUSB_ERROR_NOT_FOUND                      ERROR_FILE_NOT_FOUND
//  LIBUSB_ERROR_INVALID_PARAM                  ERROR_INVALID_PARAMETER
//  LIBUSB_ERROR_NO_MEM                         ERROR_NOT_ENOUGH_MEMORY
//  LIBUSB_ERROR_NOT_SUPPORTED                  ERROR_NOT_SUPPORTED
#include <cstdint>

// From a libusb_error (0 or negative).
uint32_t LibUsbError(int AError);
// From a libusb_transfer_status.
uint32_t LibUsbTransferStatus(int AStatus);
