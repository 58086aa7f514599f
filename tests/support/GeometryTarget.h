#pragma once
// A target object for sensor tests: only its geometry (index, LED positions and distance) matters to
// a sensor, and it sends no LED commands.
#include "MyLib/CommonKelvoDevice.h"

class TGeometryTarget : public TKelvoTargetObject {
public:
    explicit TGeometryTarget(int AIndex = 1) : TKelvoTargetObject(nullptr, nullptr, AIndex) {}
    bool SetSignal(double, double) override { return false; }
    bool SetFrequencies(int, int) override { return false; }
    double Signal1() override { return 0; }
    double Signal2() override { return 0; }
};
