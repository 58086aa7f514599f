#pragma once
// The bytes of a sensor's stream as a recording received them, in the form kelvo-trace decode reads:
// the family driver's stream reads as they came, and each block the generic driver delivered as the
// record the family driver carries it in (as it came, for optical boards that send raw frames).
// TCapturing puts a sensor's input through a capture.
#include "MyLib/UsbDevice.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

class TStreamCapture {
public:
    // ARecords: the stream comes in records (camera sensors, and optical boards that send them).
    void SetRecords(bool ARecords) { fRecords = ARecords; }
    // One stream read of the family driver.
    void AddRead(const uint8_t* AData, size_t ASize) {
        fBytes.append(reinterpret_cast<const char*>(AData), ASize);
    }
    // One block the generic driver delivered.
    void AddBlock(const uint8_t* AData, size_t ASize);
    const std::string& Bytes() const { return fBytes; }

private:
    bool fRecords = true;
    std::string fBytes;
};

// The sensor TSensor whose stream input also goes to a capture, once one is set.
template <class TSensor> class TCapturing : public TSensor {
public:
    using TSensor::TSensor;
    // ACapture receives what arrives from now on; nullptr: nothing more is captured.
    void SetCapture(TStreamCapture* ACapture) { fCapture = ACapture; }

    void ProcessData(TUsbBlock ABuffer, uint32_t ABufferSize) override {
        if (fCapture && ABuffer)
            fCapture->AddRead(ABuffer.get(), ABufferSize);
        TSensor::ProcessData(std::move(ABuffer), ABufferSize);
    }
    void DoData(const uint8_t* ABuffer, uint32_t ABufferSize) override {
        if (fCapture && ABuffer)
            fCapture->AddBlock(ABuffer, ABufferSize);
        TSensor::DoData(ABuffer, ABufferSize);
    }

private:
    TStreamCapture* fCapture = nullptr;
};
