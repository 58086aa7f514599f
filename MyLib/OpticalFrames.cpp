#include "MyLib/OpticalFrames.h"

#include "platform/LittleEndian.h"

#include <bit>
#include <cmath>

namespace {

float GetLEFloat(const uint8_t* ABytes) {
    return std::bit_cast<float>(GetLE32(ABytes));
}

// The calibration factor of quadrant AQuadrant, 1 when there is none or it is not set.
double QuadrantFactor(const TQuadrantFactors* AK, int AQuadrant) {
    if (!AK)
        return 1;
    float k = (*AK)[AQuadrant];
    return k != 0 && std::isfinite(k) ? k : 1;
}

void InitLowPass(TCheb2& AFilter, double ACutOff) {
    AFilter.Init(ACutOff, TFilterPassType::LowPass, 0.5, 2);
}

} // namespace

TNewSensorFrame ReadNewSensorFrame(const uint8_t* ABytes) {
    TNewSensorFrame frame;
    frame.dwCounter = GetLE32(ABytes);
    frame.dwSampleCounter = GetLE32(ABytes + 4);
    frame.dwMicIndex = GetLE32(ABytes + 8);
    frame.wMic = GetLE16(ABytes + 12);
    for (int q = 0; q < 4; ++q) {
        frame.Led1[q] = GetLEFloat(ABytes + 14 + 4 * q);
        frame.Led2[q] = GetLEFloat(ABytes + 30 + 4 * q);
    }
    frame.bOffScale = ABytes[46];
    return frame;
}

TUsbFrame ReadUsbFrame(const uint8_t* ABytes) {
    TUsbFrame frame;
    for (int i = 0; i < 16; ++i)
        frame.ch[i] = int32_t(GetLE32(ABytes + 4 * i));
    frame.pieso = GetLE32(ABytes + 64);
    for (int i = 0; i < 25; ++i)
        frame.PiesoBitmap[i] = ABytes[68 + i];
    return frame;
}

TQueuedPoint_V1 NewFrameSpots(const TNewSensorFrame& AFrame, const TQuadrantFactors* AK) {
    TQueuedPoint_V1 spots;
    spots.valid = true;
    for (int q = 0; q < 4; ++q) {
        spots.amp[q] = AFrame.Led1[q];
        spots.amp[q + 4] = AFrame.Led2[q];
    }
    for (double a : spots.amp)
        if (!(a >= 20) || !std::isfinite(a))
            spots.valid = false;
    for (int q = 0; q < 4; ++q) {
        double k = QuadrantFactor(AK, q);
        spots.amp[q] *= k;
        spots.amp[q + 4] *= k;
    }
    for (int j = 1; j <= 2; ++j) {
        const double* a = spots.amp + 4 * (j - 1);
        spots.x[j] = -a[0] - a[1] + a[2] + a[3];
        spots.y[j] = -a[0] + a[1] + a[2] - a[3];
        spots.sum[j] = a[0] + a[1] + a[2] + a[3];
    }
    return spots;
}

TQueuedPoint_V1 OldFrameSpots(const TUsbFrame& APrevious, const TUsbFrame& AFrame, const TQuadrantFactors* AK,
                              const TPhaseCorrection& APC1, const TPhaseCorrection& APC2,
                              const std::array<int, 4>& AIdx) {
    TQueuedPoint_V1 spots;
    for (int q = 0; q < 4; ++q)
        for (int l = 0; l < 2; ++l) {
            int pair = q * 2 + l;
            double sa = double(int64_t(APrevious.ch[2 * pair]) + AFrame.ch[2 * pair]) / 200 / 512;
            double sb = double(int64_t(APrevious.ch[2 * pair + 1]) + AFrame.ch[2 * pair + 1]) / 200 / 512;
            spots.amp[q + 4 * l] = std::sqrt(sa * sa + sb * sb);
            spots.phase[q + 4 * l] = PointsAngle(sa, sb, 0, 0);
        }
    for (int q = 0; q < 4; ++q) {
        double k = QuadrantFactor(AK, q);
        spots.amp[q] *= k * APC1.get_K(float(spots.phase[q]));
        spots.amp[q + 4] *= k * APC2.get_K(float(spots.phase[q + 4]));
    }
    spots.valid = true;
    for (double a : spots.amp)
        if (!(a >= 25) || !std::isfinite(a))
            spots.valid = false;
    for (int j = 1; j <= 2; ++j) {
        const double* r = spots.amp + 4 * (j - 1);
        spots.x[j] = -(r[AIdx[0]] + r[AIdx[2]] - (r[AIdx[1]] + r[AIdx[3]]));
        spots.y[j] = r[AIdx[0]] + r[AIdx[1]] - (r[AIdx[2]] + r[AIdx[3]]);
        spots.sum[j] = r[0] + r[1] + r[2] + r[3];
    }
    return spots;
}

TOpticalAim::TOpticalAim() {
    InitLowPass(fScaleCheb, 0.05);
    InitLowPass(fXCheb, 0.15);
    InitLowPass(fYCheb, 0.15);
    InitLowPass(fAngleCheb, 0.05);
}

void TOpticalAim::SetTarget(double ALedX1, double ALedY1, double ALedX2, double ALedY2) {
    fLedsX[0] = ALedX1;
    fLedsY[0] = ALedY1;
    fLedsX[1] = ALedX2;
    fLedsY[1] = ALedY2;
    fLedsDistance = std::hypot(ALedX2 - ALedX1, ALedY2 - ALedY1);
}

void TOpticalAim::SetStaticTarget(double ADistance, double ADistanceK, double ALedX1, double ALedY1,
                                  double ALedX2, double ALedY2) {
    SetTarget(ALedX1, ALedY1, ALedX2, ALedY2);
    fDynamicScale = false;
    double scale = ADistance / ADistanceK;
    fScale = ADistanceK != 0 && std::isfinite(scale) ? scale : 0;
}

void TOpticalAim::SetDynamicTarget(double ALedX1, double ALedY1, double ALedX2, double ALedY2) {
    SetTarget(ALedX1, ALedY1, ALedX2, ALedY2);
    fDynamicScale = true;
}

void TOpticalAim::ScaleTarget(double AFactor) {
    for (int i = 0; i < 2; ++i) {
        fLedsX[i] *= AFactor;
        fLedsY[i] *= AFactor;
    }
}

void TOpticalAim::ResetFilter() {
    fXCheb.Reset();
    fYCheb.Reset();
}

void TOpticalAim::Finish(TQueuedPoint_V1& APoint) {
    for (int j = 1; j <= 2; ++j) {
        if (APoint.sum[j] > 200) {
            APoint.x[j] *= 2000 / APoint.sum[j];
            APoint.y[j] *= 2000 / APoint.sum[j];
        } else
            APoint.valid = false;
    }
    APoint.x[0] = (APoint.x[1] + APoint.x[2]) / 2;
    APoint.y[0] = (APoint.y[1] + APoint.y[2]) / 2;
    APoint.sum[0] = APoint.sum[1] + APoint.sum[2];
    double d = std::hypot(APoint.x[1] - APoint.x[2], APoint.y[1] - APoint.y[2]);

    APoint.scale = fScale;
    APoint.angle = fAngle;
    bool finite = std::isfinite(d) && std::isfinite(APoint.x[0]) && std::isfinite(APoint.y[0]) &&
                  std::isfinite(APoint.sum[0]);
    if (!finite) {
        APoint.valid = false;
        return;
    }
    fRealLedsDistance = d;

    if (fScale <= 0 || fDynamicScale) {
        if (d > fLedsDistance / 1000) {
            fScale = fLedsDistance / d;
            APoint.scale = fScale;
        }
        fScale = fScaleCheb.Filter(fScale);
    }
    if (fAngleOn) {
        double measured = PointsAngle(APoint.x[2], APoint.y[2], APoint.x[1], APoint.y[1]);
        double target = PointsAngle(fLedsX[1], fLedsY[1], fLedsX[0], fLedsY[0]);
        fAngle = fAngleCheb.Filter(AnglesDiff(measured, target));
    }
    APoint.angle = fAngle;
    TPoint2D p = RotatePoint(APoint.x[0], APoint.y[0], APoint.angle);
    if (fSmoothing) {
        p.x = fXCheb.Filter(p.x);
        p.y = fYCheb.Filter(p.y);
    }
    APoint.xmm = p.x * fScale;
    APoint.ymm = p.y * fScale;
}
