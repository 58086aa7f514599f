#pragma once
// The six simulated families as physical devices: how each family's state is shared with its
// bootloader, restored when the new firmware starts, and wiped by an erase (the optical sensor's
// calibration block; the camera sensor's flash parameters and accelerometer record).
#include "sim/SimPhysicalDevice.h"

#include <cstdint>
#include <memory>

struct TSimOpticalSensorState;
struct TSimCameraSensorState;
struct TSimPulseState;
struct TSimTriggerState;
struct TSimWirelessState;
struct TSimTargetControllerState;

TSimFamilyBinding SimOpticalSensorBinding(std::shared_ptr<TSimOpticalSensorState> AState);
// The camera sensor keeps its product id in its descriptor only; AProductId is the one it starts with.
TSimFamilyBinding SimCameraSensorBinding(std::shared_ptr<TSimCameraSensorState> AState, uint16_t AProductId);
TSimFamilyBinding SimPulseSensorBinding(std::shared_ptr<TSimPulseState> AState);
TSimFamilyBinding SimTriggerBinding(std::shared_ptr<TSimTriggerState> AState);
// The wireless controller; its radio targets stay with the state across its own update.
TSimFamilyBinding SimWirelessBinding(std::shared_ptr<TSimWirelessState> AState);
TSimFamilyBinding SimTargetControllerBinding(std::shared_ptr<TSimTargetControllerState> AState);

// A family with its default state for a device of AProductId (32/35 optical, 0x1F01 camera, 10/19
// pulse, 5 trigger, 14/0x22 wireless controller), its identity set from AIdentity; false for a product no
// family simulates.
bool SimDefaultBindingFor(const TSimUnitIdentity& AIdentity, TSimFamilyBinding& ABinding);
