#include "framework/Component.h"

#include <algorithm>

TComponent::~TComponent() {
    // Take the list first: a receiver may remove itself while being told.
    std::vector<TComponent*> receivers;
    receivers.swap(freeNotifies_);
    for (TComponent* other : receivers) {
        other->Unlink(this);
        other->Notification(this, opRemove);
    }
}

void TComponent::FreeNotification(TComponent* other) {
    if (other == nullptr || other == this)
        return;
    Link(other);
    other->Link(this);
}

void TComponent::RemoveFreeNotification(TComponent* other) {
    if (other == nullptr)
        return;
    Unlink(other);
    other->Unlink(this);
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::Link(TComponent* other) {
    if (std::find(freeNotifies_.begin(), freeNotifies_.end(), other) == freeNotifies_.end())
        freeNotifies_.push_back(other);
}

void TComponent::Unlink(TComponent* other) {
    std::erase(freeNotifies_, other);
}
