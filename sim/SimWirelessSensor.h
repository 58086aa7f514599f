#pragma once
// What a simulated wireless aiming sensor sends over the radio, as the bytes of one sensor packet (the
// part of the controller's sensor data packet from its byte 3 on). The aim comes from the optical
// sensor's aiming path; the sensor is taken to look at a target whose two LED groups sit one above
// the other, LedsDistance apart, and can be canted. WD-M01/WD-02 packets carry the LED spots as
// quadrant amplitudes; WD-03 family packets two aiming positions each, with angle, distance and
// battery spread over successive packets. Every InvertEvery-th packet is sent bit-inverted, and faults
// can be injected every N packets. The newer models take commands over the optical channel
// (ApplyCommand) and confirm each symbol with a short status packet (CommandEcho). The layouts are
// written here from the byte tables, sharing nothing with the library.
#include "sim/SimOpticalStream.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class TSimWirelessFault {
    None,
    LengthBeyondBytes, // the length byte claims more bytes than are sent
    BelowMinimum,      // a whole data packet too short for its kind
    UnknownModel,      // model code 1, which no sensor class has
    ForeignSerial,     // another serial number than the sensor's
};

enum class TSimWirelessStatus { Battery, NoSignal, WeakSignal };

struct TSimWirelessSensorSetup {
    uint8_t ModelCode = 0; // 0 WD-M01, 4 WD-02; 2, 3, 5, 6, 7, 8 the WD-03 family
    uint16_t Serial = 1234;
    uint32_t InvertEvery = 3; // 0: never
    double LedsDistance = 190;
    // LED group 0 is the upper one, as on the radio targets; else the lower one, as in the host's
    // default geometry for a sensor without a target.
    bool UpperGroupFirst = false;
    double UnitsPerMm = 10; // spot or position units per millimetre on the target
    double CantRad = 0;     // the sensor's cant
    // WD-M01/WD-02: the distance coefficient sent (the host's scale is distance / coefficient).
    double DistanceK = 100;
    // The coefficient (WD-M01/WD-02) or distance and scale words (WD-03 family) are sent as 0.
    bool ZeroCoefficient = false;
    bool RawMode = false; // WD-03 family: 18-byte packets with the scale word
    bool WithMic = true;  // the detector bytes at the packet's end
    uint8_t BatteryByte = 200;
    uint8_t StatusBits = 0;             // WD-M02V3; bit 1: the fuse is unlocked ("not fused")
    std::string FusePassword = "kelvo"; // WD-M02V2/V3: what unlocks and locks the fuse
    TSimWirelessFault Fault = TSimWirelessFault::None;
    uint32_t FaultEvery = 0; // 0: never
};

// The model codes by name: wd-m01 0, wd-03 2, wd-m02 3, wd-02 4, wd-03v2 5, wd-05 6, wd-m02v2 7,
// wd-m02v3 8 (any case); none for another name.
std::optional<uint8_t> SimWirelessModelCode(const std::string& AName);
// The short model name of a code ("WD-03"), "???" for a code without a model.
std::string SimWirelessModelName(uint8_t AModelCode);

class TSimWirelessSensor {
public:
    // Throws std::invalid_argument when the setup's distance or scale does not fit its byte fields.
    explicit TSimWirelessSensor(const TSimWirelessSensorSetup& ASetup, uint32_t ASeed = 1);
    // The next data packet and the aims it encodes (one for WD-M01/WD-02, two for the WD-03 family).
    std::vector<uint8_t> NextPacket(std::vector<TSimAimSample>* AAims = nullptr);
    // A status packet of the model's layout.
    std::vector<uint8_t> StatusPacket(TSimWirelessStatus AKind);
    bool WD03Family() const { return fSetup.ModelCode != 0 && fSetup.ModelCode != 4; }
    // Positions clipped to what the 16-bit fields hold (sent with the off-scale flag).
    uint64_t Clipped() const { return fClipped; }

    // The 7-byte status packet that echoes one symbol of the optical command channel.
    std::vector<uint8_t> CommandEcho(uint8_t AType, uint8_t ASymbol) const;
    // Carries out a command received over the optical channel (code, length, data): 0xF0 stores the
    // calibration scale (the raw scale word; the distance word follows it), 0xF1 the serial number,
    // 0xF2/0xF3 step the voltage (WD-03V2), 0xF8/0xF9 unlock and lock the fuse with the password
    // (WD-M02V2/V3). False when this model does not take it or its data does not fit.
    bool ApplyCommand(const std::vector<uint8_t>& ACommand);
    uint16_t Serial() const { return fSetup.Serial; }
    uint32_t RawScaleWord() const { return fRawScaleWord; }
    int VoltageStep() const { return fVoltageStep; }
    bool Fused() const { return !(fSetup.StatusBits & 0x02); }

private:
    std::vector<uint8_t> Header(size_t ALength, bool AStatus) const;
    std::vector<uint8_t> WDM01Data(const TSimAimSample& AAim);
    std::vector<uint8_t> WD03Data(const TSimAimSample& AAim1, const TSimAimSample& AAim2);
    // The spot of the LED group at height ALedY, in the sensor's canted frame.
    void Spot(const TSimAimSample& AAim, double ALedY, double& AX, double& AY) const;
    int16_t Field16(double AValue, bool& AClipped);
    uint8_t WD03Auxiliary(uint8_t ACounter) const;
    // Inverts bytes 1 on and sets the flag.
    static void Invert(std::vector<uint8_t>& APacket);
    std::vector<uint8_t> Hostile(std::vector<uint8_t> APacket, TSimWirelessFault AFault) const;

    TSimWirelessSensorSetup fSetup;
    TSimAimPath fPath;
    uint32_t fDistanceKWord = 0; // WD-M01/WD-02: coefficient x 65536
    uint16_t fDistanceWord = 0;  // WD-03 family
    uint32_t fRawScaleWord = 0;  // WD-03 family raw mode
    int16_t fAngleWord = 0;      // WD-03 family
    int fVoltageStep = 0;        // WD-03V2: higher minus lower voltage commands, within +-8
    uint8_t fCounter = 0;
    uint64_t fPackets = 0;
    uint64_t fClipped = 0;
};
