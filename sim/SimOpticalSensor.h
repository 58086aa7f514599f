#pragma once
// The simulated optical aiming sensor (products 32 and 35): its firmware side of the wire. Old
// boards (hardware 1-4) answer the old request set (sine table, lock without key); new boards
// (hardware 5) answer the parameter requests, and with firmware above 10 the regions and protocol
// requests. Requests a board does not know stall, as on the real device. The state (serial number,
// versions, lock and key, regions, calibration in flash, parameters) lives in a shared object, so
// the device can re-enumerate and come back with it.
#include "sim/SimDevice.h"
#include "sim/SimFramePacer.h"
#include "sim/SimOpticalStream.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

// A calibration never written: erased flash, every value "not set".
constexpr std::array<uint8_t, 20> SIM_CALIBRATION_ERASED = [] {
    std::array<uint8_t, 20> bytes{};
    bytes.fill(0xFF);
    return bytes;
}();

struct TSimOpticalSensorState {
    std::mutex Mutex;
    uint16_t ProductId = 32;
    std::array<uint8_t, 8> Serial = {32, 1, 2, 3, 4, 5, 6, 7};
    std::array<uint8_t, 8> Key = {1, 1, 1, 1, 1, 1, 1, 1};
    uint16_t VersionHW = 2;
    uint16_t VersionFW = 9;
    bool Locked = true;
    uint16_t Regions = 0x0FFF;
    uint16_t ProtocolMajor = 2, ProtocolMinor = 0;
    uint16_t StubActual = 3, StubUpdate = 3;

    // The calibration in use (read and written by the host) and the one kept in flash (written by
    // the apply request; the one in use after power-up). 20 bytes each, as on the wire.
    std::array<uint8_t, 20> Calibration = SIM_CALIBRATION_ERASED;
    std::array<uint8_t, 20> FlashCalibration = SIM_CALIBRATION_ERASED;
    int CalibrationApplies = 0;

    // Sampling parameters (new boards report them).
    uint16_t SamplesPerFrame = 400;
    uint16_t FrameLength = 20000;
    uint32_t ClockFrequency = 8000000;
    uint16_t FrameRate = 100;
    // Shot detection.
    uint16_t MinPiezoLevel = 512, MinPiezoDelta0 = 16, PiezoEdgeDetectionSamples = 5;
    uint16_t PiezoLevel = 0; // the old-style level request
    // ADC.
    uint16_t ADCParams = 0x1110;
    uint16_t OffScaleADCValue = 4080;
    // LED frequencies as halves (new boards), or the sine table (old boards).
    uint8_t Freq1Half = 6, Freq2Half = 7;
    uint16_t SineTableIndex = 0xFFFF; // none selected yet
    bool Measuring = false;
    bool OscMode = false;
    uint16_t OscChannel = 0;
    int PacketCounterResets = 0;
    // The stream while measuring: frames at FrameRate from a background thread unless AutoStream
    // is off (tests push them one by one), the first frame counter, and faults to inject.
    bool AutoStream = true;
    uint32_t StreamCounterStart = 0;
    uint32_t StreamSeed = 1;
    TSimOpticalFault StreamFault = TSimOpticalFault::None;
    uint32_t StreamFaultEvery = 0;
    int StubSwitches = 0;

    // The calibration in use becomes the flash's (power-up).
    void PowerUp();
};

class TSimOpticalSensor : public TSimDevice {
public:
    TSimOpticalSensor(std::shared_ptr<TSimOpticalSensorState> AState, TUsbDriverKind ADriver);
    const std::shared_ptr<TSimOpticalSensorState>& State() const { return fState; }

    // Sends the next frame of the stream as the board and binding send it (whether measuring or
    // not); returns the aim it encodes.
    TSimAimSample PushStreamFrame();

private:
    std::shared_ptr<TSimOpticalSensorState> fState;
    std::mutex fStreamMutex; // guards fStream and fCounterResets
    std::optional<TSimOpticalStream> fStream;
    int fCounterResets = 0;
    std::optional<TSimFramePacer> fStreamer; // last: stops before the rest goes
};

// A calibration of 20 bytes from four 32-bit values and a distance value (little-endian).
std::array<uint8_t, 20> SimCalibrationBytes(uint32_t AK0, uint32_t AK1, uint32_t AK2, uint32_t AK3,
                                            uint32_t AD);
