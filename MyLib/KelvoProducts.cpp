#include "MyLib/KelvoProducts.h"

#include "MyLib/KelvoSerials.h"

#include <algorithm>

namespace {

constexpr uint16_t KAnyHardware = 0xFFFF;

// One name whatever the hardware.
std::vector<TKelvoHardwareName> Only(const char* AName) {
    return {{0, KAnyHardware, AName}};
}

const std::vector<TKelvoProduct>& Products() {
    using enum TKelvoStubHardware;
    // "FRAME_BIATHLON_NEW_FIRMARE" is the name the collections carry: kept letter for letter.
    static const std::vector<TKelvoProduct> products = {
        {2, &GUID_KELVO_TARGET_CONTROLLER, Only("TC_FIRMWARE"), Only("Target control stub"), Fixed, 2},
        {5,
         &GUID_KELVO_TRIGGER,
         {{1, 2, "TRIGGER_02_FIRMWARE"}, {3, 3, "TRIGGER_03_FIRMWARE"}, {4, 4, "KTG5508_FIRMWARE"}},
         Only("Trigger stub"),
         ByProcessor},
        {6, nullptr, Only("FRAME_METAL_FIRMWARE"), {}},
        {7, nullptr, Only("FRAME_BIATHLON_FIRMWARE"), {}},
        {8, nullptr, Only("TARGET_50M_FIRMWARE"), {}},
        {10, &GUID_KELVO_PULSE, {{1, 2, "PULSE_147_FIRMWARE"}}, Only("Pulse stub"), Fixed, 2},
        {11, nullptr, Only("FRAME_PLASTIC_FIRMWARE"), {}},
        {12,
         nullptr,
         {{1, 2, "TARGET485_FIRMWARE"}, {3, 3, "R485AZ_2617_FIRMWARE"}, {5, 5, "R485AZ_2617_2_FIRMWARE"}},
         {}},
        {13, nullptr, Only("FRAME_BIATHLON_NEW_FIRMARE"), {}},
        {14,
         &GUID_KELVO_WIRELESS,
         {{1, 2, "VA485_147_FIRMWARE"}, {3, 3, "VA485_235_FIRMWARE"}},
         Only("Target control 485 stub"),
         ByProcessor},
        {15, nullptr, Only("BLINKER_FIRMWARE"), {}},
        {16, &GUID_KELVO_WIND, Only("WIND_FIRMWARE"), Only("Wind stub"), Fixed, 2},
        {18,
         nullptr,
         {{1, 1, "BIATHLON1_FIRMWARE"},
          {2, 2, "BIATHLON2_FIRMWARE"},
          {3, 3, "BIATHLON3_FIRMWARE"},
          {4, 4, "BIATHLON4_FIRMWARE"}},
         {}},
        {19, &GUID_KELVO_PULSE, {{3, 3, "PULSE_POLAR_235_FIRMWARE"}}, Only("Pulse POLAR stub"), Fixed, 3},
        {20, nullptr, Only("RF_FIRMWARE"), {}},
        {23, &GUID_KELVO_RQTH, Only("RQTH_FIRMWARE"), Only("RQTH stub"), Fixed, 2},
        {32,
         &GUID_KELVO_SENSOR,
         {{1, 2, "SENSOR_147_FIRMWARE"}, {3, 3, "SENSOR_235_FIRMWARE"}},
         Only("Sensor stub"),
         ByProcessor},
        {34, &GUID_KELVO_WIRELESS, Only("RI5508_FIRMWARE"), Only("Target control II stub"), Fixed, 4},
        {35, &GUID_KELVO_SENSOR, {{5, 5, "LP02_FIRMWARE"}}, Only("LP-02 stub"), Fixed, 5},
        {48, &GUID_KELVO_DNXXXE, Only("DNXXXE_FIRMWARE"), Only("DNxxxE stub")},
        // Older product ids of the wireless controller and the optical sensor: their images only.
        {270, nullptr, {{1, 2, "VA485_147_FIRMWARE"}, {3, 3, "VA485_235_FIRMWARE"}}, {}},
        {288, nullptr, {{1, 2, "SENSOR_147_FIRMWARE"}, {3, 3, "SENSOR_235_FIRMWARE"}}, {}},
        {7937,
         &GUID_KELVO_QV,
         {{1, 1, "QV01_FIRMWARE"},
          {2, 2, "QV02_FIRMWARE"},
          {3, 3, "QV02V2_FIRMWARE"},
          {4, 4, "QV02V1_FIRMWARE"},
          {5, 5, "QV02V3_FIRMWARE"}},
         {{1, 1, "QV-01 stub"},
          {2, 2, "QV-02 stub"},
          {3, 3, "QV-02V2 stub"},
          {4, 4, "QV-02V1 stub"},
          {5, 5, "QV-02V3 stub"}}},
    };
    return products;
}

} // namespace

const TKelvoProduct* FindKelvoProduct(uint16_t AProductId) {
    const auto& products = Products();
    const auto it = std::find_if(products.begin(), products.end(), [&](const TKelvoProduct& AProduct) {
        return AProduct.ProductId == AProductId;
    });
    return it == products.end() ? nullptr : &*it;
}

std::string HardwareName(const std::vector<TKelvoHardwareName>& ANames, uint16_t AVersionHW) {
    for (const TKelvoHardwareName& name : ANames)
        if (AVersionHW >= name.From && AVersionHW <= name.To)
            return name.Name;
    return "";
}
