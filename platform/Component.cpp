#include "platform/Component.h"

#include <algorithm>

TComponent::TComponent(TComponent* AOwner) : fOwner(AOwner) {
    if (fOwner)
        fOwner->fComponents.push_back(this);
}

TComponent::~TComponent() {
    // Owned components go first, newest first; each removes itself from this list as it goes.
    while (!fComponents.empty())
        delete fComponents.back();
    if (fOwner) {
        auto& siblings = fOwner->fComponents;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
}
