// Arbitrary bytes as the sensor packets a wireless controller hands over: the first byte picks the
// target (none, a sound one, one with a LED distance that is not finite) and static or dynamic
// scale; the rest is split into packets at bytes 0xA5. Each packet goes to the first sensor that
// recognises it, or makes a new sensor of its model class, as the controller does.
#include "MyLib/KelvoWirelessSensor.h"
#include "tests/support/GeometryTarget.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

namespace {

// A point that counts never carries a value that is not finite.
void Check(const TQueuedPoint_V1& APoint) {
    if (APoint.valid && !(std::isfinite(APoint.xmm) && std::isfinite(APoint.ymm)))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 1)
        return 0;
    const uint8_t mode = AData[0];
    TGeometryTarget target;
    if (mode & 2)
        target.fLedsDistance = std::numeric_limits<double>::quiet_NaN();
    if (mode & 4)
        target.LedsX[1] = 40;
    TGeometryTarget* aimed = mode & 1 ? &target : nullptr;
    std::vector<std::unique_ptr<TCustomWirelessSensor>> sensors;

    auto take = [&](uint8_t* APacket, size_t ALength) {
        for (auto& sensor : sensors)
            if (sensor->CheckPacket(APacket, ALength)) {
                sensor->Feed(APacket, ALength);
                return;
            }
        TWirelessSensorClass make = SensorClassFor(APacket, ALength);
        if (!make || sensors.size() >= 4)
            return;
        std::unique_ptr<TCustomWirelessSensor> sensor(make(nullptr));
        if (!sensor->GetSerialFromPacket(APacket, ALength))
            return;
        if (mode & 8)
            sensor->SetStaticTarget(10, aimed);
        else
            sensor->SetDynamicTarget(aimed);
        // The high bit leaves the points in the sensor's queue instead of a handler.
        if (mode & 128)
            sensor->SetStorePoints(true);
        else
            sensor->OnNewPoint = [](TCustomWirelessSensor*, PQueuedPoint P) { Check(*P); };
        sensor->Feed(APacket, ALength);
        sensors.push_back(std::move(sensor));
    };

    size_t start = 1;
    for (size_t i = 1; i <= ASize; ++i)
        if (i == ASize || AData[i] == 0xA5) {
            // Feed turns inverted packets back in place, so each gets its own copy.
            std::vector<uint8_t> packet(AData + start, AData + i);
            take(packet.data(), packet.size());
            start = i + 1;
        }
    for (auto& sensor : sensors)
        for (const auto& point : sensor->GetPoints())
            Check(point);
    return 0;
}
