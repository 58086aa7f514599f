#pragma once
// The reference points of a target face in millimetres, as the faces give them and as the camera
// sensor's template conversion takes them: one record for both, so a face's template goes to the
// camera as it is. Packed, the camera's layout: two doubles and the flag, 17 bytes.
#include <cstdint>
#include <vector>

#pragma pack(push, 1)
struct TTargetTemplateItem {
    double x;
    double y;
    std::uint8_t flag; // 1: part of the black mark, 0: the white surround
};
#pragma pack(pop)
static_assert(sizeof(TTargetTemplateItem) == 17);

using TTargetTemplate = std::vector<TTargetTemplateItem>;
