#include "trace/RecordSources.h"

#include "MyLib/KelvoSerials.h"
#include "MyLib/KelvoUsbQV.h"
#include "MyLib/KelvoUsbSensor.h"
#include "trace/CaptureReads.h"
#include "trace/StreamCapture.h"
#include "trace/TraceBus.h"
#include "trace/TraceCommands.h"
#include "trace/TraceRadio.h"

#include <cstdio>
#include <iostream>
#include <utility>

namespace {

bool Refuse(const char* AWhy) {
    std::cerr << Program << ": record: " << AWhy << "\n";
    return false;
}

class TOpticalSource : public TRecordSource {
public:
    TOpticalSource(const std::string& APath, TStreamCapture* ACapture)
        : fSensor(nullptr, APath), fCapture(ACapture) {}
    bool Start(TRecordPoint AOnPoint) override {
        if (!fSensor.Open())
            return Refuse("cannot open the sensor");
        fSensor.Stream().SetOnNewPoint(
            [AOnPoint](const TQueuedPoint_V1& APoint) { AOnPoint(APoint.dwCounter, APoint); });
        if (!fSensor.Start())
            return Refuse("the sensor does not start (locked?)");
        // From the start on, which empties what the stream had collected.
        if (fCapture) {
            fCapture->SetRecords(OpticalStreamHasRecords(fSensor.fVersionHW, fSensor.fVersionFW));
            fSensor.SetCapture(fCapture);
        }
        return true;
    }
    bool Stop() override {
        const bool stopped = fSensor.Stop();
        fSensor.Close();
        return stopped;
    }
    std::string DecodeOptions() const override {
        return "--kind optical --hw " + std::to_string(fSensor.fVersionHW) + " --fw " +
               std::to_string(fSensor.fVersionFW);
    }
    TTraceClock Clock() const override {
        return OpticalClock(fSensor.fFrameRate, fSensor.fVersionHW, fSensor.MinPiezoLevel());
    }

private:
    TCapturing<TKelvoSensorUsbDevice> fSensor;
    TStreamCapture* fCapture;
};

class TCameraSource : public TRecordSource {
public:
    TCameraSource(const std::string& APath, TStreamCapture* ACapture)
        : fSensor(nullptr, APath), fCapture(ACapture) {}
    bool Start(TRecordPoint AOnPoint) override {
        if (!fSensor.Open())
            return Refuse("cannot open the sensor");
        // Measured from the optical centre.
        fSensor.SetAdjustMode();
        fSensor.SetOnNewPoint([AOnPoint](TKelvoUsbQVSensor*, const TQueuedPoint_V1* APoint) {
            AOnPoint(APoint->dwSampleCounter, *APoint);
        });
        if (!fSensor.Start())
            return Refuse("the sensor does not start (locked?)");
        if (fCapture) {
            fCapture->SetRecords(true);
            fSensor.SetCapture(fCapture);
        }
        return true;
    }
    bool Stop() override {
        const bool stopped = fSensor.Stop();
        fSensor.Close();
        return stopped;
    }
    std::string DecodeOptions() const override {
        // The lens distance with every digit a float holds, so that it reads back as the same float.
        char lens[32];
        std::snprintf(lens, sizeof lens, "%.9g", double(fSensor.fLensDistance));
        return "--kind camera --hw " + std::to_string(fSensor.fVersionHW) + " --fw " +
               std::to_string(fSensor.fVersionFW) + " --protocol " +
               std::to_string(fSensor.fProtocolVersionMajor) + " --center " + std::to_string(fSensor.fX0) +
               "," + std::to_string(fSensor.fY0) + " --lens-distance " + lens;
    }
    TTraceClock Clock() const override { return CameraClock(fSensor.fFPS); }

private:
    TCapturing<TKelvoUsbQVSensor> fSensor;
    TStreamCapture* fCapture;
};

// The first wireless sensor heard through the controller; the controller keeps the others.
class TRadioSource : public TRecordSource {
public:
    explicit TRadioSource(TTraceBus& ABus) : fRadio("record", ABus) {}
    bool Start(TRecordPoint AOnPoint) override {
        fRadio.Controller().fOnNewSensor = [this, AOnPoint](TKelvoWireless*, TCustomWirelessSensor* ASensor) {
            if (std::exchange(fHeard, true))
                return;
            ASensor->OnNewPoint = [AOnPoint](TCustomWirelessSensor*, PQueuedPoint P) {
                AOnPoint(P->dwCounter, *P);
            };
        };
        fRadio.PowerOn();
        return true;
    }
    bool Stop() override {
        fRadio.Controller().Close();
        return true;
    }
    bool Heard() const override { return fHeard || Refuse("no wireless sensor was heard"); }
    // The radio's packet counters wrap within seconds and two points may share one: the host's clock.
    TTraceClock Clock() const override { return {.HostTicks = true}; }

private:
    TRadio fRadio;
    bool fHeard = false;
};

} // namespace

std::unique_ptr<TRecordSource> FindRecordSource(TTraceBus& ABus, TStreamCapture* ACapture) {
    const auto found = ABus.FindFirst({GUID_KELVO_SENSOR, GUID_KELVO_QV, GUID_KELVO_WIRELESS});
    if (!found) {
        Refuse("no optical, camera or wireless sensor to record from");
        return nullptr;
    }
    if (found->fClass == GUID_KELVO_SENSOR)
        return std::make_unique<TOpticalSource>(found->fPath, ACapture);
    if (found->fClass == GUID_KELVO_QV)
        return std::make_unique<TCameraSource>(found->fPath, ACapture);
    if (ACapture)
        throw TUsageError("record: --capture takes an optical or camera sensor's stream, and this is a "
                          "wireless controller's");
    return std::make_unique<TRadioSource>(ABus);
}
