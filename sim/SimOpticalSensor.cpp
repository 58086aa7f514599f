#include "sim/SimOpticalSensor.h"

#include "platform/LittleEndian.h"

#include <algorithm>
#include <chrono>
#include <functional>

namespace {

// Which boards answer a request.
enum class TGate {
    Any,
    OldBoard,     // hardware 1-4
    NewBoard,     // hardware 5 and above
    NewBoardFw11, // new board, firmware above 10
    LP02Fw11,     // hardware 5, firmware above 10
    ReportsLock,  // firmware 2 and above
    StubInfo,     // firmware 10 and above, on hardware 5 firmware 11 and above
};

bool Answers(TGate AGate, const TSimOpticalSensorState& AState) {
    bool newBoard = AState.VersionHW >= 5;
    switch (AGate) {
    case TGate::Any:
        return true;
    case TGate::OldBoard:
        return !newBoard;
    case TGate::NewBoard:
        return newBoard;
    case TGate::NewBoardFw11:
        return newBoard && AState.VersionFW > 10;
    case TGate::LP02Fw11:
        return AState.VersionHW == 5 && AState.VersionFW > 10;
    case TGate::ReportsLock:
        return AState.VersionFW >= 2;
    case TGate::StubInfo:
        return AState.VersionHW == 5 ? AState.VersionFW >= 11 : AState.VersionFW >= 10;
    }
    return false;
}

using TState = TSimOpticalSensorState;

} // namespace

void TSimOpticalSensorState::PowerUp() {
    std::lock_guard lock(Mutex);
    Calibration = FlashCalibration;
    Measuring = false;
    OscMode = false;
}

std::array<uint8_t, 20> SimCalibrationBytes(uint32_t AK0, uint32_t AK1, uint32_t AK2, uint32_t AK3,
                                            uint32_t AD) {
    std::vector<uint8_t> bytes;
    for (uint32_t value : {AK0, AK1, AK2, AK3, AD})
        AppendLE32(bytes, value);
    std::array<uint8_t, 20> block;
    std::copy(bytes.begin(), bytes.end(), block.begin());
    return block;
}

TSimOpticalSensor::TSimOpticalSensor(std::shared_ptr<TSimOpticalSensorState> AState, TUsbDriverKind ADriver)
    : TSimDevice({AState->ProductId, SIM_VENDOR_ID, 0x0200, 0x0100, 64}, ADriver, "optical_sensor"),
      fState(std::move(AState)) {
    // Requests behind a firmware gate: one the device's version does not know stalls.
    auto read = [this](uint8_t ARequest, TGate AGate,
                       std::function<bool(TState&, std::vector<uint8_t>&)> AFill) {
        OnRead(ARequest, fState, [AGate, AFill](TState& S, std::vector<uint8_t>& AOut) {
            return Answers(AGate, S) && AFill(S, AOut);
        });
    };
    // A host-to-device request with exactly ALength data bytes (0: no data stage).
    auto write = [this](uint8_t ARequest, TGate AGate, std::size_t ALength,
                        std::function<bool(TState&, const TSimVendorRequest&)> ATake) {
        OnWrite(ARequest, fState, ALength, [AGate, ATake](TState& S, const TSimVendorRequest& AReq) {
            return Answers(AGate, S) && ATake(S, AReq);
        });
    };
    auto keyMatches = [](const TState& S, const TSimVendorRequest& AReq) {
        return std::equal(AReq.Data.begin(), AReq.Data.end(), S.Key.begin());
    };

    // --- Identity ---
    read(0x8B, TGate::Any, [](TState& S, std::vector<uint8_t>& A) {
        A.assign(S.Serial.begin(), S.Serial.end());
        return true;
    });
    read(0x90, TGate::Any, [](TState& S, std::vector<uint8_t>& A) {
        AppendLE16(A, S.VersionFW);
        AppendLE16(A, S.VersionHW);
        return true;
    });
    read(0x91, TGate::ReportsLock, [](TState& S, std::vector<uint8_t>& A) {
        A = {uint8_t(S.Locked ? 1 : 0)};
        return true;
    });
    write(0x8C, TGate::Any, 8, [keyMatches](TState& S, const TSimVendorRequest& AReq) {
        bool right = keyMatches(S, AReq);
        if (right)
            S.Locked = false;
        // Firmware before 4 acknowledges any key; later firmware refuses a wrong one.
        return right || S.VersionFW < 4;
    });
    write(0x92, TGate::OldBoard, 0, [](TState& S, const TSimVendorRequest&) {
        S.Locked = true;
        return true;
    });
    write(0x93, TGate::NewBoard, 8, [keyMatches](TState& S, const TSimVendorRequest& AReq) {
        if (!keyMatches(S, AReq))
            return false;
        S.Locked = true;
        return true;
    });
    // Request 0xD0 is both the regions read and, with the key as data, the regions write.
    SetVendorHandler(0xD0, [this, keyMatches](const TSimVendorRequest& AReq, std::vector<uint8_t>& AOut) {
        std::lock_guard lock(fState->Mutex);
        if (!Answers(TGate::NewBoardFw11, *fState))
            return false;
        if (AReq.DeviceToHost()) {
            AppendLE16(AOut, fState->Regions);
            return true;
        }
        if (AReq.Data.size() != 8 || !keyMatches(*fState, AReq))
            return false;
        fState->Regions = AReq.wValue;
        return true;
    });
    read(0x45, TGate::LP02Fw11, [](TState& S, std::vector<uint8_t>& A) {
        AppendLE16(A, S.ProtocolMajor);
        AppendLE16(A, S.ProtocolMinor);
        return true;
    });

    // --- Calibration ---
    read(0x86, TGate::Any, [](TState& S, std::vector<uint8_t>& A) {
        A.assign(S.Calibration.begin(), S.Calibration.end());
        return true;
    });
    write(0x87, TGate::Any, 16, [](TState& S, const TSimVendorRequest& AReq) {
        std::copy(AReq.Data.begin(), AReq.Data.end(), S.Calibration.begin());
        return true;
    });
    write(0x88, TGate::Any, 4, [](TState& S, const TSimVendorRequest& AReq) {
        std::copy(AReq.Data.begin(), AReq.Data.end(), S.Calibration.begin() + 16);
        return true;
    });
    write(0x89, TGate::Any, 0, [](TState& S, const TSimVendorRequest&) {
        S.FlashCalibration = S.Calibration;
        ++S.CalibrationApplies;
        return true;
    });

    // --- Measuring ---
    write(0x81, TGate::Any, 0, [](TState& S, const TSimVendorRequest&) {
        S.OscMode = false;
        return true;
    });
    write(0x82, TGate::Any, 0, [](TState& S, const TSimVendorRequest& AReq) {
        S.OscMode = true;
        S.OscChannel = AReq.wValue;
        return true;
    });
    write(0x8D, TGate::Any, 0, [](TState& S, const TSimVendorRequest&) {
        if (S.Locked) // a locked sensor does not measure
            return false;
        S.Measuring = true;
        return true;
    });
    write(0x8E, TGate::Any, 0, [](TState& S, const TSimVendorRequest&) {
        S.Measuring = false;
        return true;
    });
    write(0x97, TGate::NewBoard, 0, [](TState& S, const TSimVendorRequest&) {
        ++S.PacketCounterResets;
        return true;
    });

    // --- Sampling, ADC, piezo, LED frequencies ---
    read(0x9A, TGate::NewBoard, [](TState& S, std::vector<uint8_t>& A) {
        AppendLE16(A, S.SamplesPerFrame);
        AppendLE16(A, S.FrameLength);
        AppendLE32(A, S.ClockFrequency);
        AppendLE16(A, S.FrameRate);
        return true;
    });
    read(0x95, TGate::NewBoard, [](TState& S, std::vector<uint8_t>& A) {
        AppendLE16(A, S.OffScaleADCValue);
        return true;
    });
    write(0x96, TGate::NewBoard, 0, [](TState& S, const TSimVendorRequest& AReq) {
        S.OffScaleADCValue = AReq.wValue;
        return true;
    });
    read(0x99, TGate::NewBoard, [](TState& S, std::vector<uint8_t>& A) {
        AppendLE16(A, S.MinPiezoLevel);
        AppendLE16(A, S.MinPiezoDelta0);
        AppendLE16(A, S.PiezoEdgeDetectionSamples);
        return true;
    });
    write(0x98, TGate::NewBoard, 0, [](TState& S, const TSimVendorRequest& AReq) {
        S.MinPiezoLevel = AReq.wValue;
        S.MinPiezoDelta0 = AReq.wIndex;
        return true;
    });
    write(0x9E, TGate::NewBoard, 0, [](TState& S, const TSimVendorRequest& AReq) {
        S.PiezoEdgeDetectionSamples = AReq.wValue;
        return true;
    });
    write(0x85, TGate::Any, 0, [](TState& S, const TSimVendorRequest& AReq) {
        S.PiezoLevel = AReq.wValue;
        return true;
    });
    read(0x9B, TGate::NewBoard, [](TState& S, std::vector<uint8_t>& A) {
        AppendLE16(A, S.ADCParams);
        return true;
    });
    write(0x94, TGate::NewBoard, 0, [](TState& S, const TSimVendorRequest& AReq) {
        S.ADCParams = AReq.wValue;
        return true;
    });
    read(0x9D, TGate::NewBoard, [](TState& S, std::vector<uint8_t>& A) {
        A = {S.Freq1Half, S.Freq2Half};
        return true;
    });
    write(0x9C, TGate::NewBoard, 0, [](TState& S, const TSimVendorRequest& AReq) {
        // The LED timers take halves of at most one byte.
        if (AReq.wValue > 0xFF || AReq.wIndex > 0xFF)
            return false;
        S.Freq1Half = uint8_t(AReq.wValue);
        S.Freq2Half = uint8_t(AReq.wIndex);
        return true;
    });
    write(0x84, TGate::OldBoard, 0, [](TState& S, const TSimVendorRequest& AReq) {
        if (AReq.wValue > 1) // two sine tables
            return false;
        S.SineTableIndex = AReq.wValue;
        return true;
    });

    // --- Family-wide: bootloader version, bootloader info check, switch to the bootloader ---
    read(0xFE, TGate::Any, [](TState& S, std::vector<uint8_t>& A) {
        AppendLE16(A, S.StubActual);
        AppendLE16(A, S.StubUpdate);
        return true;
    });
    write(0xFD, TGate::StubInfo, 0, [](TState&, const TSimVendorRequest&) { return true; });
    SetVendorHandler(0xFF, [this](const TSimVendorRequest& AReq, std::vector<uint8_t>&) {
        if (AReq.DeviceToHost() || !AReq.Data.empty())
            return false;
        {
            std::lock_guard lock(fState->Mutex);
            ++fState->StubSwitches;
        }
        SwitchToBootloaderAfterRequest();
        return true;
    });
    fStreamer.emplace(
        [this]() -> std::optional<std::chrono::microseconds> {
            if (!IsAttached())
                return std::nullopt;
            std::lock_guard lock(fState->Mutex);
            if (!fState->Measuring || !fState->AutoStream)
                return std::nullopt;
            return TSimFramePacer::PeriodAt(fState->FrameRate);
        },
        [this] { PushStreamFrame(); });
}

TSimAimSample TSimOpticalSensor::PushStreamFrame() {
    TSimOpticalStreamSetup setup;
    uint32_t seed, start;
    int resets;
    {
        std::lock_guard lock(fState->Mutex);
        setup.VersionHW = fState->VersionHW;
        setup.VersionFW = fState->VersionFW;
        setup.Fault = fState->StreamFault;
        setup.FaultEvery = fState->StreamFaultEvery;
        seed = fState->StreamSeed;
        start = fState->StreamCounterStart;
        resets = fState->PacketCounterResets;
    }
    std::vector<TSimOpticalTransfer> transfers;
    TSimAimSample aim;
    bool records;
    {
        std::lock_guard lock(fStreamMutex);
        if (!fStream) {
            fStream.emplace(setup, seed);
            fStream->SetCounter(start);
            fCounterResets = resets;
        }
        if (resets != fCounterResets) { // the host reset the packet counter
            fStream->SetCounter(0);
            fCounterResets = resets;
        }
        transfers = fStream->NextFrame(&aim);
        records = fStream->SendsRecords();
    }
    bool family = DriverKind() == TUsbDriverKind::Family;
    std::vector<uint8_t> rawRead; // old boards below firmware 10: one read per frame
    for (const auto& transfer : transfers) {
        if (!family)
            PushPackets(SIM_PIPE_DATA_IN, transfer.Bytes);
        else if (transfer.WholeRead)
            PushStreamTransfer(transfer.Bytes);
        else if (records)
            PushEvent(transfer.Bytes);
        else
            rawRead.insert(rawRead.end(), transfer.Bytes.begin(), transfer.Bytes.end());
    }
    if (!rawRead.empty())
        PushStreamTransfer(rawRead);
    return aim;
}
