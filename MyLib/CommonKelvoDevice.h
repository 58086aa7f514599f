#pragma once
// What every target behind a controller has in common (TKelvoTargetObject), and the measurement
// point record with the lock-protected queue through which sensors hand points to their consumers
// (TPointsQueue).
#include "MyLib/KelvoSerials.h"
#include "platform/Component.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

// An electronic target that sits behind a controller. It is no USB device of its own: every command
// travels through its parent controller, which knows it by its index.
class TKelvoTargetObject : public TComponent {
public:
    // Applies the defaults of SetDefaults (a descendant that overrides SetDefaults calls its own in
    // its constructor, since a constructor cannot reach a descendant's override).
    TKelvoTargetObject(TComponent* AOwner, TComponent* AParent, int AIndex);
    // Releases the resources (a descendant that overrides ReleaseResources calls its own in its
    // destructor).
    ~TKelvoTargetObject() override;

    // --- Virtual operations, in this order for every descendant ---
    // The identity and geometry defaults; not the two model texts.
    virtual void SetDefaults();
    virtual void ReleaseResources();
    // Base: no lock, so neither locks nor unlocks.
    virtual bool Lock(const TDeviceKey& AKey);
    virtual bool Unlock(const TDeviceKey& AKey);
    // Signal levels in 0..1 of full scale, and the modulation frequency pair.
    virtual bool SetSignal(double ASignal1, double ASignal2) = 0;
    virtual bool SetFrequencies(int AFreq1, int AFreq2) = 0;
    virtual double Signal1() = 0;
    virtual double Signal2() = 0;
    // Label text: "KC:" and the serial number in the label encoding.
    virtual std::string Code128();

    // A target type is known (255 means no target).
    bool Valid() const { return fTargetType != KNoTargetType; }
    // Appends a line to fLog while logging is on.
    void Log(const std::string& AText);
    TComponent* Parent() const { return fParent; }

    static constexpr uint8_t KNoTargetType = 255;

    int fIndex;
    std::vector<std::string>* fLog = nullptr; // borrowed
    bool fLogging = false;
    TSerialNum fSerial = NoSerialNum;
    std::string fModelDescription;
    std::string fModelType;
    uint8_t fTargetType = KNoTargetType;
    uint16_t fProductId = 0;
    uint16_t fFWVersion = 0;
    uint16_t fHWVersion = 0;
    bool fLocked = false;
    double fLedsDistance = 190.0;
    double fRealDistance = 10.0;
    double fEmulatedDistance = 10.0;
    double LedsX[2] = {0.0, 0.0};
    double LedsY[2] = {-95.0, 95.0};

protected:
    TComponent* fParent; // the controller that carries the target's commands
};
using PKelvoTargetObject = TKelvoTargetObject*;

// One aiming point as a sensor makes it.
struct TQueuedPoint_V1 {
    uint32_t dwTick = 0;
    uint32_t dwCounter = 0;
    uint32_t dwSampleCounter = 0;
    double x[3] = {};
    double y[3] = {};
    double sum[3] = {};
    double xmm = 0;
    double ymm = 0;
    double amp[8] = {};
    double phase[8] = {};
    double mic = 0;
    uint32_t micidx = 0;
    double angle = 0;
    double scale = 0;
    uint16_t targetindex = 0;
    bool valid = false;
    double VisibleDistance = 0;
    bool OffScale = false;
    uint32_t OffScaleBits = 0;
    void* ExtraData = nullptr; // the producer's, or none
};
using PQueuedPoint = TQueuedPoint_V1*;
using TPointsArray = std::vector<TQueuedPoint_V1>;

// Points from their producers (the sensors' parsers on the main thread) to consumers on any thread.
// Each operation holds the lock for its whole duration and calls nothing outside while holding it.
// The queue holds at most its capacity: a consumer that stops reading costs a bounded amount of
// memory, the oldest points giving way to new ones and being counted.
class TPointsQueue {
public:
    // Ten minutes of a sensor's fastest stream, 100 points a second: a consumer that reads now and
    // then loses nothing, and a queue nobody reads stays under 20 MB.
    static constexpr size_t KDefaultCapacity = 100 * 60 * 10;

    explicit TPointsQueue(size_t ACapacity = KDefaultCapacity);
    // Appends a copy of the point, dropping the oldest one when the queue is full; a null point is
    // ignored.
    void Add(const TQueuedPoint_V1* AQueuedPoint);
    int Count() const;
    // Points dropped to make room since the queue was made or last cleared.
    uint64_t Dropped() const;
    // Every queued point in arrival order; the queue is empty afterwards. The consumer owns the
    // result outright: the queue keeps no reference into it.
    TPointsArray Get();
    // Empties the queue and restarts the count of dropped points.
    void Clear();

private:
    const size_t fCapacity;
    mutable std::mutex fCritical;
    std::deque<TQueuedPoint_V1> fQueue;
    uint64_t fDropped = 0;
};
