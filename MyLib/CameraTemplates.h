#pragma once
// Target templates of the camera sensor: the pattern of pixels around the aiming mark that the
// device matches against its image (black points on the mark, white points around it), built for a
// round target, an archery target or from a custom template in millimetres, and the shooting events
// that name a template. Sizes are millimetres, distances metres.
// Arithmetic that gives a non-finite value or a coordinate outside a signed byte marks the template
// invalid instead of wrapping; a lens distance or target distance of 0 is "not set".
#include "MyLib/TargetTemplate.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#pragma pack(push, 1)
struct TQVTemplateItem {
    int8_t x;
    int8_t y;
    uint8_t flag; // 1: part of the black mark, 0: the white surround
};

// A template as the device takes it.
struct TQVTemplate {
    static constexpr int KMaxItems = 64;
    std::array<TQVTemplateItem, KMaxItems> Items;
    uint16_t nPoints;
    uint8_t bValid;
    uint8_t bRotating;
    uint16_t AllSize;   // the template's diameter, pixels
    uint16_t BlackSize; // the black mark's diameter, pixels
};
#pragma pack(pop)
static_assert(sizeof(TQVTemplateItem) == 3 && sizeof(TQVTemplate) == 200);

// Template pixels per millimetre of the target at ADistance metres, for a lens distance and row
// binning; nothing when either distance is not a positive number or the result is not finite.
std::optional<double> QVTemplatePixelsPerMM(double ADistance, double ALensDistance, int ARowBin);

// Round target: a black mark of ABlackSize millimetres, black points at ABlackFactor and white
// points at AWhiteFactor of its radius.
TQVTemplate BuildRoundTargetTemplate(int ARowBin, double ABlackSize, double ADistance, double ABlackFactor,
                                     double AWhiteFactor, double ALensDistance);
// Archery target of ATargetSize millimetres: black points inside and white points outside its gold.
TQVTemplate BuildArcheryTemplate(int ARowBin, double ATargetSize, double ADistance, double ALensDistance);
// A custom template (its first 64 items) in pixels; valid when 12 <= AllSize < 64.
TQVTemplate ConvertTemplate(const TTargetTemplate& AT, bool ARotatable, double ADistance, int ARowBin,
                            double ALensDistance);
// AllSize of the template's items (BlackSize 0): twice the largest distance (rotating) or the largest
// coordinate, plus one.
void CalculateTemplateSize(TQVTemplate& AT);

// What a shooting event asks for: a round or an archery target at a distance.
struct TQVShootingEvent {
    bool Archery = false;
    double Size = 0;     // round: the black mark; archery: the target
    double Distance = 0; // metres
    double BlackFactor = 0;
    double WhiteFactor = 0;
};
// Events 1 to 3, 5 to 11; nothing for any other.
std::optional<TQVShootingEvent> QVShootingEvent(int AEvent);
