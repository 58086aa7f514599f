#pragma once
// Where kelvo-trace record takes its points from: the first optical or camera sensor on the bus, else
// the first wireless sensor heard through the first wireless controller.
#include "MyLib/CommonKelvoDevice.h"
#include "trace/ShotSeries.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TStreamCapture;
class TTraceBus;

// One aiming point; ACounter: the optical sensor's frame counter, the camera sensor's packet index
// or the wireless sensor's packet counter.
using TRecordPoint = std::function<void(uint32_t ACounter, const TQueuedPoint_V1& APoint)>;

// The device a record takes its points from: opened and started by Start, stopped and closed by
// Stop (or when it goes).
class TRecordSource {
public:
    virtual ~TRecordSource() = default;
    // Points go to AOnPoint from now on; false, with the reason printed, when the device cannot be
    // opened or started.
    virtual bool Start(TRecordPoint AOnPoint) = 0;
    // False when the device did not answer the stop: it went away during the recording.
    virtual bool Stop() = 0;
    // After Stop: false, with the reason printed, when the record has nothing to show.
    virtual bool Heard() const { return true; }
    // After Start: the decode options that read this sensor's capture back.
    virtual std::string DecodeOptions() const { return {}; }
    // After Start: how the points are timed and their shots told.
    virtual TTraceClock Clock() const = 0;
};

// The source on ABus, waiting a moment for one to be plugged in; nullptr, with the reason printed,
// when there is none. With ACapture the sensor's stream goes there from its start on; a usage fault
// when the source is a wireless sensor, whose stream decode does not read.
std::unique_ptr<TRecordSource> FindRecordSource(TTraceBus& ABus, TStreamCapture* ACapture);
