#pragma once
// The simulated camera sensor: the firmware side of the camera-based aiming sensor. It keeps its
// identity, lock and key, regions, flash parameters, accelerometer calibration, fault log and image
// settings in a state object that outlives one enumeration, and answers the sensor's vendor requests
// as the firmware version it reports does: a request that version does not know stalls. While started
// it streams a packet per frame from an aiming path, with an image when the data mode asks for one.
#include "sim/SimCameraStream.h"
#include "sim/SimDevice.h"
#include "sim/SimFramePacer.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

constexpr uint16_t SIM_QV_PRODUCT_ID = 0x1F01;
constexpr size_t SIM_QV_FLASH_PARAMS_BYTES = 26;
constexpr size_t SIM_QV_ACC_CALIBRATION_BYTES = 44;
constexpr size_t SIM_QV_FAULT_LOG_BYTES = 128;

// What the sensor keeps across re-enumeration. Guard every access with Mutex while plugged.
struct TSimCameraSensorState {
    std::mutex Mutex;
    std::array<uint8_t, 8> Serial = {31, 1, 0, 0, 0, 0, 0, 7};
    std::array<uint8_t, 8> Key = {1, 2, 3, 4, 5, 6, 7, 8};
    uint16_t VersionHW = 3;
    uint16_t VersionFW = 31;
    bool Locked = false;
    uint16_t Regions = 0x0FFF;
    // Answered by the family request (newer firmware) or the major-version request.
    uint16_t ProtocolMajor = 18;
    uint16_t ProtocolMinor = 0;
    uint16_t StubActual = 5;
    uint16_t StubUpdate = 5;
    // The whole record as the flash holds it; older firmware transfers only its head.
    std::array<uint8_t, SIM_QV_FLASH_PARAMS_BYTES> FlashParams{};
    std::array<uint8_t, SIM_QV_ACC_CALIBRATION_BYTES> AccCalibration{};
    // False: the accelerometer calibration request stalls (a sensor whose accelerometer failed).
    bool AccCalibrationReadable = true;
    // Working parameters by index; the image settings of 0xFFFF firmware live here too.
    std::map<uint16_t, uint16_t> Working;
    uint16_t FollowZoneRadius = 0;
    uint16_t TimerValue = 0;
    uint16_t MicLevel = 0;
    uint16_t MicEdgeLevel = 0;
    std::array<uint8_t, 6> ClkParameters{};
    std::array<uint8_t, 6> PiesoParameters{};
    std::array<uint8_t, 8> SysInfo{};
    // The fault-log answer exactly as sent (its length is the answer's length).
    std::vector<uint8_t> FaultLog;
    uint16_t BottomOfStack = 0x2400;
    uint16_t SysRstIv = 0;
    bool Debug = false;
    bool Started = false;
    bool ParametersChangeEnabled = false;
    std::map<uint16_t, uint16_t> Registers;
    uint32_t CounterResets = 0;
    uint32_t Readjusts = 0;
    uint32_t StubInfoChecks = 0;

    // Measuring: the mode and its window origin, the centre request's values, and the templates by
    // slot as they were initialised, loaded and finalised.
    uint8_t Mode = 1;
    int X0 = 380, Y0 = 236;
    uint16_t CenterX0 = 0, CenterY0 = 0;
    struct TTemplateSlot {
        bool Rotating = false;
        std::vector<uint8_t> Items; // 3 bytes per item, as loaded
        bool Finalized = false;
    };
    std::map<uint16_t, TTemplateSlot> Templates;
    // The stream while started: a packet per frame from a background thread unless AutoStream is off
    // (tests push them one by one), seen at SceneDistanceMm, with faults to inject.
    bool AutoStream = true;
    double SceneDistanceMm = 50000;
    uint32_t StreamSeed = 1;
    uint16_t StreamFirstIndex = 0;
    TSimCameraFault StreamFault = TSimCameraFault::None;
    uint32_t StreamFaultEvery = 0;

    TSimCameraSensorState();
    // The packet layout this firmware sends.
    uint16_t StreamProtocol() const;
    // Pixels per millimetre of the target at the scene's distance, through the lens in flash.
    double PixelsPerMm() const;
    // The working settings a reset to defaults restores.
    void ResetSettings();
    // Bytes of the flash parameters this firmware transfers.
    uint32_t FlashParamsSize() const;
    uint16_t Edition() const;
    void SetEdition(uint16_t AEdition);
};

// A valid accelerometer record with the given offsets (the checksum word completed).
std::array<uint8_t, SIM_QV_ACC_CALIBRATION_BYTES> SimQVAccCalibration(int16_t AXOffs, int16_t AYOffs,
                                                                      int16_t AZOffs);
// Completes the checksum word of an accelerometer record.
void SimQVSealAccCalibration(std::array<uint8_t, SIM_QV_ACC_CALIBRATION_BYTES>& ARecord);

class TSimCameraSensor : public TSimDevice {
public:
    TSimCameraSensor(std::shared_ptr<TSimCameraSensorState> AState, TUsbDriverKind ADriver);

    std::shared_ptr<TSimCameraSensorState> State() const { return fState; }

    // Sends the next packet as the binding carries it (whether started or not); returns the aim it
    // encodes. Data mode 3 or 5 adds the window's image to every packet; data mode 6 adds the whole
    // image to this one packet and then returns to 0.
    TSimAimSample PushStreamPacket();

private:
    // Settings that newer firmware answers with requests of their own and 0xFFFF firmware keeps as
    // working parameters: read one byte or a word, set through wValue.
    void OnWorkingSetting(uint8_t ARequest, uint16_t AIndex, bool AOneByte);
    // The vendor requests the sensor answers, by group; the constructor registers them in this order.
    void OnIdentityRequests();
    void OnBootloaderRequests();
    void OnControlRequests();
    void OnImageSettingRequests();
    void OnCalibrationRequests();
    void OnFaultDiagnosticRequests();
    void OnMeasuringModeRequests();
    void OnTemplateRequests();

    std::shared_ptr<TSimCameraSensorState> fState;
    std::mutex fStreamMutex; // guards fStream
    std::optional<TSimCameraStream> fStream;
    std::optional<TSimFramePacer> fStreamer; // last: stops before the rest goes
};
