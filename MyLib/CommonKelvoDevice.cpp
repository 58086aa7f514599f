#include "MyLib/CommonKelvoDevice.h"

#include <algorithm>
#include <utility>

TKelvoTargetObject::TKelvoTargetObject(TComponent* AOwner, TComponent* AParent, int AIndex)
    : TComponent(AOwner), fIndex(AIndex), fParent(AParent) {
    TKelvoTargetObject::SetDefaults();
}

TKelvoTargetObject::~TKelvoTargetObject() {
    TKelvoTargetObject::ReleaseResources();
}

void TKelvoTargetObject::SetDefaults() {
    fSerial = NoSerialNum;
    fTargetType = KNoTargetType;
    fProductId = 0;
    fFWVersion = 0;
    fHWVersion = 0;
    fLocked = false;
    LedsX[0] = LedsX[1] = 0.0;
    LedsY[0] = -95.0;
    LedsY[1] = 95.0;
    fLedsDistance = 190.0;
    fRealDistance = 10.0;
    fEmulatedDistance = 10.0;
}

void TKelvoTargetObject::ReleaseResources() {}

bool TKelvoTargetObject::Lock(const TDeviceKey&) {
    return false;
}

bool TKelvoTargetObject::Unlock(const TDeviceKey&) {
    return false;
}

std::string TKelvoTargetObject::Code128() {
    return "KC:" + Code128Serial(fSerial);
}

void TKelvoTargetObject::Log(const std::string& AText) {
    if (fLogging && fLog)
        fLog->push_back(AText);
}

TPointsQueue::TPointsQueue(size_t ACapacity) : fCapacity(std::max<size_t>(ACapacity, 1)) {}

void TPointsQueue::Add(const TQueuedPoint_V1* AQueuedPoint) {
    if (!AQueuedPoint)
        return;
    std::lock_guard lock(fCritical);
    if (fQueue.size() >= fCapacity) {
        fQueue.pop_front();
        ++fDropped;
    }
    fQueue.push_back(*AQueuedPoint);
}

int TPointsQueue::Count() const {
    std::lock_guard lock(fCritical);
    return int(fQueue.size());
}

uint64_t TPointsQueue::Dropped() const {
    std::lock_guard lock(fCritical);
    return fDropped;
}

TPointsArray TPointsQueue::Get() {
    std::deque<TQueuedPoint_V1> taken;
    {
        std::lock_guard lock(fCritical);
        taken.swap(fQueue);
    }
    return TPointsArray(taken.begin(), taken.end());
}

void TPointsQueue::Clear() {
    std::lock_guard lock(fCritical);
    fQueue.clear();
    fDropped = 0;
}
