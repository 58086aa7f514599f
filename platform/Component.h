#pragma once
// Owned components: an object created with an owner is destroyed with it, and leaves its owner's
// list when destroyed first. Tag is the general-purpose integer every component carries.
#include <cstddef>
#include <vector>

class TComponent {
public:
    explicit TComponent(TComponent* AOwner);
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return fOwner; }
    int ComponentCount() const { return int(fComponents.size()); }
    TComponent* Components(int AIndex) const { return fComponents[std::size_t(AIndex)]; }

    int Tag = 0;

private:
    TComponent* fOwner;
    std::vector<TComponent*> fComponents;
};
