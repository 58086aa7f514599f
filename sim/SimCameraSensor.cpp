#include "sim/SimCameraSensor.h"

#include "platform/LittleEndian.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace {

// Flash-parameter record offsets.
constexpr size_t KCalibratedDistanceAt = 0;
constexpr size_t KCentreXAt = 4;
constexpr size_t KCentreYAt = 6;
constexpr size_t KScaleKAt = 8;
constexpr size_t KLensDistanceAt = 12;
constexpr size_t KRowNoiseAt = 16;
constexpr size_t KModelAt = 24;
// Accelerometer record: offsets at 36, 38, 40; the checksum covers 21 words before offset 42.
constexpr size_t KAccOffsetsAt = 36;
constexpr size_t KAccChecksumAt = 42;

// Working parameters that 0xFFFF firmware uses for the settings others have requests for.
constexpr uint16_t KWpAnalogGain = 27, KWpDataMode = 28, KWpAutoShutter = 29, KWpVrefAdc = 30,
                   KWpAdjustIfLost = 31, KWpAdjustShutter = 32, KWpShutterWidth = 33;
constexpr uint16_t KRegisterShutterWidth = 11;
constexpr uint16_t KDevFirmware = 0xFFFF;
constexpr uint16_t KWpRowBin = 3, KWpFrameWidth = 13, KWpFrameHeight = 14, KWpFps = 21;
// Template items: at most 21 per load request, 64 in all; firmware 7 has no custom templates.
constexpr size_t KTemplateItemsPerLoad = 21, KTemplateItems = 64;
constexpr uint16_t KNoTemplatesFirmware = 7;
constexpr double KPixelSize = 0.006;

// Whether this firmware knows working parameter AIndex, for reading or for writing.
bool KnowsWorkingParameter(uint16_t AFW, uint16_t AIndex, bool AWrite) {
    switch (AIndex) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 8:
    case 9:
    case 10:
    case 19:
    case 22:
    case 23:
        return true;
    case 12:
        return AWrite && AFW > 10;
    case 13:
    case 14:
        return AFW > 10;
    case 15:
    case 16:
        return AFW >= 15;
    case 17:
        return AFW >= 16;
    case 18:
        return AFW >= 22;
    case 20:
        return AFW >= (AWrite ? 29 : 30);
    case 21:
        return AFW >= 29;
    default:
        return AIndex >= KWpAnalogGain && AIndex <= KWpShutterWidth && AFW == KDevFirmware;
    }
}

using S = TSimCameraSensorState;
using R = TSimVendorRequest;
using A = std::vector<uint8_t>;

void AppendWords(A& AOut, std::initializer_list<uint16_t> AWords) {
    for (uint16_t w : AWords)
        AppendLE16(AOut, w);
}

// Whether a write carries the sensor's 8-byte key, which unlocking, locking and the guarded writes need.
bool KeyMatches(S& AS, const R& AReq) {
    return AReq.Data.size() == 8 && std::equal(AReq.Data.begin(), AReq.Data.end(), AS.Key.begin());
}

} // namespace

void SimQVSealAccCalibration(std::array<uint8_t, SIM_QV_ACC_CALIBRATION_BYTES>& ARecord) {
    uint16_t sum = 0;
    for (size_t i = 0; i < KAccChecksumAt; i += 2)
        sum = uint16_t(sum + GetLE16(&ARecord[i]));
    sum = uint16_t(~sum);
    PutLE16(&ARecord[KAccChecksumAt], sum);
}

std::array<uint8_t, SIM_QV_ACC_CALIBRATION_BYTES> SimQVAccCalibration(int16_t AXOffs, int16_t AYOffs,
                                                                      int16_t AZOffs) {
    std::array<uint8_t, SIM_QV_ACC_CALIBRATION_BYTES> record{};
    for (size_t i = 0; i < KAccOffsetsAt; ++i) // axis blocks: a recognisable device-defined pattern
        record[i] = uint8_t(0x10 + i * 3);
    const int16_t offsets[3] = {AXOffs, AYOffs, AZOffs};
    for (size_t i = 0; i < 3; ++i)
        PutLE16(&record[KAccOffsetsAt + 2 * i], uint16_t(offsets[i]));
    SimQVSealAccCalibration(record);
    return record;
}

TSimCameraSensorState::TSimCameraSensorState() {
    PutLE32(&FlashParams[KCalibratedDistanceAt], 0xFFFFFFFF);
    PutLE16(&FlashParams[KCentreXAt], 380);
    FlashParams[KCentreYAt] = 236;
    PutLE32(&FlashParams[KScaleKAt], std::bit_cast<uint32_t>(1.0f));
    PutLE32(&FlashParams[KLensDistanceAt], std::bit_cast<uint32_t>(50.0f));
    for (size_t i = 0; i < 8; ++i)
        FlashParams[KRowNoiseAt + i] = uint8_t(30 + i);
    AccCalibration = SimQVAccCalibration(-12, 7, 1003);
    FaultLog.assign(SIM_QV_FAULT_LOG_BYTES, 0xFF);
    ClkParameters = {0x01, 0x02, 0x01, 0x01, 0x01, 0x00};
    PiesoParameters = {64, 0, 4, 0, 4, 0};
    ResetSettings();
}

void TSimCameraSensorState::ResetSettings() {
    Working = {{1, 190},
               {2, 250},
               {3, 4},
               {4, 1},
               {5, 2},
               {8, 0},
               {9, 100},
               {10, 400},
               {13, 80},
               {14, 80},
               {15, 1},
               {16, 1024},
               {17, 0},
               {18, 38},
               {19, 1},
               {20, 8},
               {21, 100},
               {22, 0},
               {23, 0},
               {KWpAnalogGain, 64},
               {KWpDataMode, 0},
               {KWpAutoShutter, 1},
               {KWpVrefAdc, 0},
               {KWpAdjustIfLost, 0},
               {KWpAdjustShutter, 1},
               {KWpShutterWidth, 32}};
    FollowZoneRadius = 240;
    TimerValue = 9999;
    MicLevel = 16;
    MicEdgeLevel = 1;
}

uint32_t TSimCameraSensorState::FlashParamsSize() const {
    if (VersionFW >= 15)
        return 26;
    if (VersionFW >= 11)
        return 24;
    return VersionHW == 1 && VersionFW <= 4 ? 8 : 16;
}

uint16_t TSimCameraSensorState::StreamProtocol() const {
    if (VersionFW >= 15)
        return ProtocolMajor;
    if (VersionHW == 1)
        return VersionFW > 10 ? 11 : VersionFW == 10 ? 2 : 1;
    return VersionFW <= 10 ? 10 : 11;
}

double TSimCameraSensorState::PixelsPerMm() const {
    const double lens = std::bit_cast<float>(GetLE32(&FlashParams[KLensDistanceAt]));
    const double ppm = lens / (SceneDistanceMm * KPixelSize);
    return std::isfinite(ppm) && ppm > 0 ? ppm : 1;
}

uint16_t TSimCameraSensorState::Edition() const {
    return GetLE16(&FlashParams[KModelAt]);
}

void TSimCameraSensorState::SetEdition(uint16_t AEdition) {
    PutLE16(&FlashParams[KModelAt], AEdition);
}

TSimCameraSensor::TSimCameraSensor(std::shared_ptr<TSimCameraSensorState> AState, TUsbDriverKind ADriver)
    : TSimDevice({SIM_QV_PRODUCT_ID, SIM_VENDOR_ID, 0x0200, 0x0100, 64}, ADriver, "qv"),
      fState(std::move(AState)) {
    OnIdentityRequests();
    OnBootloaderRequests();
    OnControlRequests();
    OnImageSettingRequests();
    OnCalibrationRequests();
    OnFaultDiagnosticRequests();
    OnMeasuringModeRequests();
    OnTemplateRequests();
    fStreamer.emplace(
        [this]() -> std::optional<std::chrono::microseconds> {
            if (!IsAttached())
                return std::nullopt;
            std::lock_guard lock(fState->Mutex);
            if (!fState->Started || !fState->AutoStream)
                return std::nullopt;
            return TSimFramePacer::PeriodAt(fState->Working[KWpFps]);
        },
        [this] { PushStreamPacket(); });
}

void TSimCameraSensor::OnWorkingSetting(uint8_t ARequest, uint16_t AIndex, bool AOneByte) {
    OnReadWrite(
        ARequest, fState,
        [AIndex, AOneByte](S& AS, const R&, A& AOut) {
            if (AS.VersionFW == KDevFirmware)
                return false;
            const uint16_t value = AS.Working[AIndex];
            if (AOneByte)
                AOut = {uint8_t(value)};
            else
                AppendLE16(AOut, value);
            return true;
        },
        [AIndex](S& AS, const R& AReq) {
            if (AS.VersionFW == KDevFirmware)
                return false;
            AS.Working[AIndex] = AReq.wValue;
            return true;
        });
}

void TSimCameraSensor::OnIdentityRequests() {
    OnRead(0x40, fState, [](S& AS, const R&, A& AOut) {
        AOut.assign(AS.Serial.begin(), AS.Serial.end());
        return true;
    });
    OnRead(0x41, fState, [](S& AS, const R&, A& AOut) {
        AOut = {uint8_t(AS.Locked ? 1 : 0)};
        return true;
    });
    OnWrite(0x42, fState, std::nullopt, [](S& AS, const R& AReq) {
        if (!KeyMatches(AS, AReq))
            return false;
        AS.Locked = false;
        return true;
    });
    OnWrite(0x43, fState, std::nullopt, [](S& AS, const R& AReq) {
        if (!KeyMatches(AS, AReq))
            return false;
        AS.Locked = true;
        return true;
    });
    OnRead(0x44, fState, [](S& AS, const R&, A& AOut) {
        AppendWords(AOut, {AS.VersionFW, AS.VersionHW});
        return true;
    });
    OnRead(0x45, fState, [](S& AS, const R&, A& AOut) {
        AppendWords(AOut, {AS.ProtocolMajor, AS.ProtocolMinor});
        return AS.VersionFW > 20;
    });
    OnRead(0xA5, fState, [](S& AS, const R&, A& AOut) {
        AppendWords(AOut, {AS.ProtocolMajor});
        return AS.VersionFW >= 15 && AS.VersionFW <= 20;
    });
    OnReadWrite(
        0xD0, fState,
        [](S& AS, const R&, A& AOut) {
            AppendWords(AOut, {AS.Regions});
            return AS.VersionFW >= 19;
        },
        [](S& AS, const R& AReq) {
            if (AS.VersionFW < 19 || !KeyMatches(AS, AReq))
                return false;
            AS.Regions = AReq.wValue;
            return true;
        });
}

// Family-wide: bootloader version, bootloader info check, switch to the bootloader.
void TSimCameraSensor::OnBootloaderRequests() {
    OnRead(0xFE, fState, [](S& AS, const R&, A& AOut) {
        AppendWords(AOut, {AS.StubActual, AS.StubUpdate});
        return true;
    });
    OnWrite(0xFD, fState, std::nullopt, [](S& AS, const R& AReq) {
        const bool knows = AS.VersionHW == 5 ? AS.VersionFW >= 11 : AS.VersionFW >= 10;
        AS.StubInfoChecks += knows;
        return knows && AReq.Data.empty();
    });
    OnWrite(0xFF, fState, std::nullopt, [this](S&, const R& AReq) {
        if (!AReq.Data.empty())
            return false;
        SwitchToBootloaderAfterRequest();
        return true;
    });
}

void TSimCameraSensor::OnControlRequests() {
    OnWrite(0x80, fState, std::nullopt, [](S& AS, const R&) {
        AS.Started = true;
        return true;
    });
    OnWrite(0x81, fState, std::nullopt, [](S& AS, const R& AReq) {
        if (AReq.wValue == 0xFFFF) {
            if (AS.VersionFW <= 30)
                return false;
            AS.ResetSettings();
            return true;
        }
        AS.Started = false;
        return true;
    });
    OnWrite(0x85, fState, std::nullopt, [](S& AS, const R&) {
        ++AS.Readjusts;
        return true;
    });
    OnWrite(0x86, fState, std::nullopt, [](S& AS, const R& AReq) {
        AS.Registers[AReq.wIndex] = AReq.wValue;
        if (AReq.wIndex == KRegisterShutterWidth)
            AS.Working[KWpShutterWidth] = AReq.wValue;
        return true;
    });
    OnWrite(0x8D, fState, std::nullopt, [](S& AS, const R&) {
        ++AS.CounterResets;
        return true;
    });
    OnWrite(0xD5, fState, std::nullopt, [](S& AS, const R&) {
        if (AS.VersionFW <= 27)
            return false;
        AS.ParametersChangeEnabled = false;
        return true;
    });
    OnWrite(0xD6, fState, std::nullopt, [](S& AS, const R& AReq) {
        if (AS.VersionFW <= 27 || !KeyMatches(AS, AReq))
            return false;
        AS.ParametersChangeEnabled = true;
        return true;
    });
}

void TSimCameraSensor::OnImageSettingRequests() {
    OnWorkingSetting(0x82, KWpShutterWidth, false);
    OnWorkingSetting(0x84, KWpDataMode, true);
    OnWorkingSetting(0x8B, KWpAnalogGain, false);
    OnWorkingSetting(0x92, KWpAutoShutter, true);
    OnWorkingSetting(0x9D, KWpVrefAdc, true);
    OnWorkingSetting(0x9E, KWpAdjustIfLost, true);
    OnWorkingSetting(0x9F, KWpAdjustShutter, true);
    OnReadWrite(
        0xBA, fState,
        [](S& AS, const R& AReq, A& AOut) {
            if (!KnowsWorkingParameter(AS.VersionFW, AReq.wIndex, false))
                return false;
            AppendWords(AOut, {AS.Working[AReq.wIndex]});
            return true;
        },
        [](S& AS, const R& AReq) {
            if (!KnowsWorkingParameter(AS.VersionFW, AReq.wIndex, true))
                return false;
            if (AReq.wIndex == 12) { // a square frame
                AS.Working[13] = AReq.wValue;
                AS.Working[14] = AReq.wValue;
            } else {
                AS.Working[AReq.wIndex] = AReq.wValue;
            }
            return true;
        });
    OnWrite(0x95, fState, std::nullopt, [](S& AS, const R& AReq) {
        AS.TimerValue = AReq.wValue;
        return true;
    });
    OnRead(0x96, fState, [](S& AS, const R&, A& AOut) {
        AppendWords(AOut, {AS.TimerValue});
        return true;
    });
    OnWrite(0x9B, fState, std::nullopt, [](S& AS, const R& AReq) {
        AS.FollowZoneRadius = AReq.wValue;
        return true;
    });
    OnRead(0x9C, fState, [](S& AS, const R&, A& AOut) {
        AppendWords(AOut, {AS.FollowZoneRadius});
        return true;
    });
    OnReadWrite(
        0x87, fState,
        [](S& AS, const R&, A& AOut) {
            AppendWords(AOut, {AS.MicLevel, AS.MicEdgeLevel});
            return AS.VersionHW == 1 && AS.VersionFW >= 4;
        },
        [](S& AS, const R& AReq) {
            if (AS.VersionHW != 1 || AS.VersionFW > 10)
                return false;
            AS.MicLevel = AReq.wValue;
            AS.MicEdgeLevel = AReq.wIndex;
            return true;
        });
    OnRead(0x8F, fState, [](S& AS, const R&, A& AOut) {
        AppendWords(AOut, {AS.MicLevel, AS.MicEdgeLevel});
        return AS.VersionHW == 1 && AS.VersionFW < 4;
    });
    OnReadWrite(
        0xB5, fState,
        [](S& AS, const R&, A& AOut) {
            AOut.assign(AS.ClkParameters.begin(), AS.ClkParameters.end());
            return true;
        },
        [](S& AS, const R& AReq) {
            if (AReq.Data.size() != AS.ClkParameters.size())
                return false;
            std::copy(AReq.Data.begin(), AReq.Data.end(), AS.ClkParameters.begin());
            return true;
        });
    OnReadWrite(
        0xBB, fState,
        [](S& AS, const R&, A& AOut) {
            AOut.assign(AS.PiesoParameters.begin(), AS.PiesoParameters.end());
            return AS.VersionHW == 2 || AS.VersionFW >= 11;
        },
        [](S& AS, const R& AReq) {
            if ((AS.VersionHW != 2 && AS.VersionFW < 11) || AReq.Data.size() != AS.PiesoParameters.size())
                return false;
            std::copy(AReq.Data.begin(), AReq.Data.end(), AS.PiesoParameters.begin());
            return true;
        });
}

// Flash parameters, calibrated distance, accelerometer calibration.
void TSimCameraSensor::OnCalibrationRequests() {
    OnRead(0xA0, fState, [](S& AS, const R&, A& AOut) {
        AOut.assign(AS.FlashParams.begin(), AS.FlashParams.begin() + 4);
        return true;
    });
    OnWrite(0xA1, fState, std::nullopt, [](S& AS, const R& AReq) {
        if (AReq.Data.size() != 4)
            return false;
        PutLE32(&AS.FlashParams[KCalibratedDistanceAt], GetLE32(AReq.Data.data()));
        return true;
    });
    OnRead(0xA2, fState, [](S& AS, const R&, A& AOut) {
        AppendWords(AOut, {uint16_t(AS.FlashParamsSize())});
        return true;
    });
    OnRead(0xA3, fState, [](S& AS, const R&, A& AOut) {
        AOut.assign(AS.FlashParams.begin(), AS.FlashParams.begin() + AS.FlashParamsSize());
        return true;
    });
    OnWrite(0xA4, fState, std::nullopt, [](S& AS, const R& AReq) {
        if (AReq.Data.size() != AS.FlashParamsSize())
            return false;
        std::copy(AReq.Data.begin(), AReq.Data.end(), AS.FlashParams.begin());
        return true;
    });
    OnReadWrite(
        0xD4, fState,
        [](S& AS, const R&, A& AOut) {
            AOut.assign(AS.AccCalibration.begin(), AS.AccCalibration.end());
            return AS.VersionFW > 27 && AS.AccCalibrationReadable;
        },
        [](S& AS, const R& AReq) {
            if (AS.VersionFW <= 27 || AReq.Data.size() != AS.AccCalibration.size())
                return false;
            std::copy(AReq.Data.begin(), AReq.Data.end(), AS.AccCalibration.begin());
            AS.AccCalibrationReadable = true;
            return true;
        });
}

void TSimCameraSensor::OnFaultDiagnosticRequests() {
    OnRead(0xC1, fState, [](S& AS, const R&, A& AOut) {
        AOut.assign(AS.SysInfo.begin(), AS.SysInfo.end());
        return true;
    });
    OnRead(0xC2, fState, [](S& AS, const R&, A& AOut) {
        AOut = AS.FaultLog;
        return true;
    });
    OnWrite(0xC3, fState, std::nullopt, [](S& AS, const R&) {
        AS.FaultLog.assign(SIM_QV_FAULT_LOG_BYTES, 0xFF);
        return true;
    });
    OnRead(0xC4, fState, [](S& AS, const R&, A& AOut) {
        AppendWords(AOut, {AS.BottomOfStack});
        return true;
    });
    OnWrite(0xC5, fState, std::nullopt, [](S& AS, const R& AReq) {
        AS.Debug = AReq.wValue != 0;
        return true;
    });
    OnRead(0xC6, fState, [](S& AS, const R&, A& AOut) {
        AppendWords(AOut, {AS.SysRstIv});
        return true;
    });
}

void TSimCameraSensor::OnMeasuringModeRequests() {
    OnWrite(0x8C, fState, 0, [](S& AS, const R& AReq) {
        if (AS.VersionFW < 8)
            return false;
        AS.CenterX0 = AReq.wValue;
        AS.CenterY0 = AReq.wIndex;
        return true;
    });
    auto mode = [](uint8_t AMode) {
        return [AMode](S& AS, const R& AReq) {
            if (AS.VersionFW < 8)
                return false;
            AS.Mode = AMode;
            AS.X0 = AReq.wValue;
            AS.Y0 = AReq.wIndex;
            return true;
        };
    };
    OnWrite(0xB8, fState, 0, mode(2));
    OnWrite(0xB9, fState, 0, mode(1));
    OnWrite(0xBC, fState, 8, [](S& AS, const R& AReq) {
        if (AS.VersionFW < 15)
            return false;
        const uint8_t* d = AReq.Data.data();
        AS.Mode = d[0];
        AS.Working[KWpRowBin] = d[1];
        AS.X0 = GetLE16(d + 2);
        AS.Y0 = GetLE16(d + 4);
        AS.Working[KWpFrameWidth] = AS.Working[KWpFrameHeight] = GetLE16(d + 6);
        return true;
    });
}

void TSimCameraSensor::OnTemplateRequests() {
    OnWrite(0xB1, fState, 0, [](S& AS, const R& AReq) {
        if (AS.VersionFW == KNoTemplatesFirmware)
            return false;
        AS.Templates[AReq.wIndex] = {AReq.wValue != 0, {}, false};
        return true;
    });
    OnWrite(0xB2, fState, std::nullopt, [](S& AS, const R& AReq) {
        auto slot = AS.Templates.find(AReq.wIndex);
        if (slot == AS.Templates.end() || slot->second.Finalized || AReq.wValue == 0 ||
            AReq.wValue > KTemplateItemsPerLoad || AReq.Data.size() != AReq.wValue * 3u ||
            slot->second.Items.size() + AReq.Data.size() > KTemplateItems * 3)
            return false;
        slot->second.Items.insert(slot->second.Items.end(), AReq.Data.begin(), AReq.Data.end());
        return true;
    });
    OnWrite(0xB3, fState, 0, [](S& AS, const R& AReq) {
        auto slot = AS.Templates.find(AReq.wIndex);
        if (slot == AS.Templates.end())
            return false;
        slot->second.Finalized = true;
        return true;
    });
}

TSimAimSample TSimCameraSensor::PushStreamPacket() {
    TSimCameraFrame frame;
    uint32_t seed;
    uint16_t first;
    {
        std::lock_guard lock(fState->Mutex);
        TSimCameraSensorState& s = *fState;
        frame.Protocol = s.StreamProtocol();
        const uint16_t dataMode = s.Working[KWpDataMode];
        frame.ImageId = dataMode == 3 || dataMode == 5 || dataMode == 6 ? uint8_t(dataMode) : 0;
        if (dataMode == 6)
            s.Working[KWpDataMode] = 0; // one whole image per request
        frame.X0 = s.X0;
        frame.Y0 = s.Y0;
        frame.FrameWidth = s.Working[KWpFrameWidth];
        frame.FrameHeight = s.Working[KWpFrameHeight];
        frame.PixelsPerMm = s.PixelsPerMm();
        frame.RowBin = uint8_t(s.Working[KWpRowBin]);
        frame.Vref = uint8_t(s.Working[KWpVrefAdc]);
        frame.AnalogGain = s.Working[KWpAnalogGain];
        frame.ShutterWidth = s.Working[KWpShutterWidth];
        frame.FrameRate = s.Working[KWpFps];
        frame.Fault = s.StreamFault;
        frame.FaultEvery = s.StreamFaultEvery;
        seed = s.StreamSeed;
        first = s.StreamFirstIndex;
    }
    frame.FamilyDriver = DriverKind() == TUsbDriverKind::Family;
    std::vector<TSimCameraTransfer> transfers;
    TSimAimSample aim;
    {
        std::lock_guard lock(fStreamMutex);
        if (!fStream)
            fStream.emplace(seed, first);
        transfers = fStream->NextPacket(frame, &aim);
    }
    for (const auto& transfer : transfers) {
        if (transfer.WholeRead)
            PushStreamTransfer(transfer.Bytes);
        else if (frame.FamilyDriver)
            PushEvent(transfer.Bytes);
        else
            PushPacket(SIM_PIPE_DATA_IN, transfer.Bytes);
    }
    return aim;
}
