#pragma once
// The small component model the serial layer and the window share: a name, the loading and
// design-time marks, and free notification (a component is told when one it references dies).
#include <string>
#include <vector>

enum TOperation { opInsert, opRemove };

class TPersistent {
public:
    virtual ~TPersistent() = default;
};

class TComponent : public TPersistent {
public:
    TComponent() = default;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;
    ~TComponent() override;

    std::string Name;

    bool Loading() const { return loading_; }
    bool Designing() const { return designing_; }
    // Marks the component as being read from stored settings; Loaded() ends that.
    void BeginLoading() { loading_ = true; }
    void SetDesigning(bool value) { designing_ = value; }
    virtual void Loaded() { loading_ = false; }

    // Asks to be told (through Notification) when `other` is destroyed. Symmetric, as
    // either side may go first.
    void FreeNotification(TComponent* other);
    void RemoveFreeNotification(TComponent* other);
    virtual void Notification(TComponent* component, TOperation operation);

private:
    void Link(TComponent* other);
    void Unlink(TComponent* other);

    bool loading_ = false;
    bool designing_ = false;
    std::vector<TComponent*> freeNotifies_;
};
