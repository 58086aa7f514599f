#pragma once
// The picture shooters look at after a series: for each shot, the aiming trace of the last seconds
// before it, fading with age, the hit at the face's calibre and its score written beside it.
#include "MyLib/KelvoLib.h"
#include "MyLib/TargetCanvas.h"

#include <vector>

// One aiming point: seconds on the recording's clock, position in millimetres from the aiming centre.
struct TAimPoint {
    double Time;
    double x;
    double y;
};

// One shot: when it broke and where it hit.
struct TShotMark {
    double Time;
    double x;
    double y;
};

struct TShotTraceStyle {
    double Seconds = 1.0; // length of trace drawn before each shot
    TColor TraceColor = RGBColor(0x00, 0xC0, 0x00);
    TColor HitColor = clBreach;
    double OldestOpacity = 0.15; // opacity of the trace's oldest end; its newest is opaque
};

// Draws the trace before each shot, then the hits with their scores (GetResultStr) on AFace as AView
// places it. APoints are in time order; a non-finite point breaks the trace, a shot at a non-finite
// position draws no hit. The trace is AFace's default trace width wide, at least one pixel.
void DrawShotTraces(TTargetCanvas& ACanvas, const TBaseTarget& AFace, const TFaceView& AView,
                    const std::vector<TAimPoint>& APoints, const std::vector<TShotMark>& AShots,
                    const TShotTraceStyle& AStyle = {});
