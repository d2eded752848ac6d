#include "framework/Component.h"

#include <gtest/gtest.h>

#include <memory>

namespace {
struct Watcher : TComponent {
    TComponent* removed = nullptr;
    int calls = 0;
    void Notification(TComponent* c, TOperation op) override {
        if (op == opRemove) {
            removed = c;
            ++calls;
        }
    }
};
} // namespace

TEST(Component, ReferencingSideIsToldWhenTheOtherIsDestroyed) {
    Watcher watcher;
    auto port = std::make_unique<TComponent>();
    TComponent* raw = port.get();
    watcher.FreeNotification(raw);
    watcher.FreeNotification(raw); // asking twice still tells once
    port.reset();
    EXPECT_EQ(watcher.removed, raw);
    EXPECT_EQ(watcher.calls, 1);
}

TEST(Component, NoNotificationAfterRemovalOrWhenTheWatcherGoesFirst) {
    Watcher watcher;
    {
        TComponent port;
        watcher.FreeNotification(&port);
        watcher.RemoveFreeNotification(&port);
    }
    EXPECT_EQ(watcher.calls, 0);

    auto early = std::make_unique<Watcher>();
    TComponent port;
    early->FreeNotification(&port);
    early.reset(); // must unlink itself, or the port's destructor would touch freed memory
}

TEST(Component, LoadingEndsWithLoaded) {
    TComponent c;
    c.BeginLoading();
    EXPECT_TRUE(c.Loading());
    c.Loaded();
    EXPECT_FALSE(c.Loading());
}
