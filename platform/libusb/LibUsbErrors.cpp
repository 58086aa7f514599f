#include "platform/libusb/LibUsbErrors.h"

#include "platform/WinError.h"

#include <libusb.h>

uint32_t LibUsbError(int AError) {
    switch (AError) {
    case LIBUSB_SUCCESS:
        return ERROR_SUCCESS;
    case LIBUSB_ERROR_TIMEOUT:
        return ERROR_SEM_TIMEOUT;
    case LIBUSB_ERROR_NO_DEVICE:
        return ERROR_DEVICE_NOT_CONNECTED;
    case LIBUSB_ERROR_INTERRUPTED:
        return ERROR_OPERATION_ABORTED;
    case LIBUSB_ERROR_OVERFLOW:
        return ERROR_INSUFFICIENT_BUFFER;
    case LIBUSB_ERROR_ACCESS:
        return ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_BUSY:
        return ERROR_BUSY;
    case LIBUSB_ERROR_NOT_FOUND:
        return ERROR_FILE_NOT_FOUND;
    case LIBUSB_ERROR_INVALID_PARAM:
        return ERROR_INVALID_PARAMETER;
    case LIBUSB_ERROR_NO_MEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return ERROR_NOT_SUPPORTED;
    default: // LIBUSB_ERROR_PIPE, _IO, _OTHER
        return ERROR_GEN_FAILURE;
    }
}

uint32_t LibUsbTransferStatus(int AStatus) {
    switch (AStatus) {
    case LIBUSB_TRANSFER_COMPLETED:
        return ERROR_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return ERROR_SEM_TIMEOUT;
    case LIBUSB_TRANSFER_CANCELLED:
        return ERROR_OPERATION_ABORTED;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return ERROR_DEVICE_NOT_CONNECTED;
    case LIBUSB_TRANSFER_OVERFLOW:
        return ERROR_INSUFFICIENT_BUFFER;
    default: // LIBUSB_TRANSFER_STALL, _ERROR
        return ERROR_GEN_FAILURE;
    }
}
