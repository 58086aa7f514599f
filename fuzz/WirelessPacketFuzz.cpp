// Arbitrary bytes as one transfer on the wireless controller's data path: packets back to back
// (length, id, payload), sensor data, status tables and overcharge alarms among them. The controller
// is a real TKelvoWireless opened on the simulated controller with a target at every index (a
// blinker at 2 and a bootloader at 16, standard targets elsewhere), so sensor data reaches the
// sensors, points come out, and the sensors' command echoes set the targets' LEDs through the radio.
// (An index without a target costs the radio's time-out on every status table that names it.) Each
// run starts with no sensor and every target in place.
#include "MyLib/KelvoUsbWireless1.h"
#include "platform/StdEventLoop.h"
#include "platform/System.h"
#include "sim/SimBus.h"
#include "sim/SimWirelessController.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct TBench {
    TStdEventLoop fLoop;
    TSimBus fBus{fLoop};
    TSystemScope fScope{fLoop, fBus};
    std::unique_ptr<TKelvoWireless> fDevice;

    TBench() {
        auto state = std::make_shared<TSimWirelessState>();
        for (uint8_t index = 1; index <= KELVO_WIRELESS_TARGETS; ++index) {
            TSimRadioTarget target;
            target.Index = index;
            target.Serial[7] = index;
            target.ProductId = index == 2 ? 15 : 12;
            target.Stub = index == KELVO_WIRELESS_TARGETS;
            state->Targets.push_back(target);
        }
        auto sim = std::make_shared<TSimWirelessController>(state, TUsbDriverKind::Family);
        fBus.Plug(sim);
        fDevice = std::make_unique<TKelvoWireless>(nullptr, sim->Path());
        if (!fDevice->Open())
            std::abort();
    }
    // Every target back in place after a status table took some away.
    void RestoreTargets() {
        for (int index = 1; index <= KELVO_WIRELESS_TARGETS; ++index)
            if (!fDevice->Targets(index)) {
                fDevice->UpdateTargetsStatusTable(false);
                return;
            }
    }
};

// A point that counts never carries a value that is not finite.
void Check(const TQueuedPoint_V1& APoint) {
    if (APoint.valid && !(std::isfinite(APoint.xmm) && std::isfinite(APoint.ymm)))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    // The bench lives as long as the process: opening the controller is what each run must not repeat.
    static TBench* bench = new TBench;
    TKelvoWireless& device = *bench->fDevice;
    device.fOnNewSensor = [](TKelvoWireless*, TCustomWirelessSensor* ASensor) {
        // Every other sensor keeps its points in its queue instead of handing them out.
        if (ASensor->Serial() & 1)
            ASensor->SetStorePoints(true);
        else
            ASensor->OnNewPoint = [](TCustomWirelessSensor*, PQueuedPoint P) { Check(*P); };
    };
    auto buffer = std::make_unique<uint8_t[]>(ASize);
    if (ASize)
        std::memcpy(buffer.get(), AData, ASize);
    device.ProcessData(std::move(buffer), uint32_t(ASize));
    for (TCustomWirelessSensor* sensor : device.Sensors())
        for (const auto& point : sensor->GetPoints())
            Check(point);
    device.DestroyWirelessSensors();
    bench->RestoreTargets();
    return 0;
}
