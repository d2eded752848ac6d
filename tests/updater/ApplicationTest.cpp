// The Qt side of the framework: the program's message box, the standard exception box behind
// the guard, and the main thread's hand-over queue driven from the event loop.
#include "tests/support/QtTestSupport.h"

#include "framework/Exception.h"
#include "framework/Sync.h"
#include "framework/qt/Controls.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

TEST(MessageBox, IsModalCentredCaptionedWithTheTitleWithoutIconAndOneOk) {
    BoxCloser closer;
    ShowMessage("Linha 1\nLinha 2");
    ASSERT_EQ(closer.Seen().size(), 1u);
    const SeenBox& box = closer.Seen()[0];
    EXPECT_EQ(box.Title, "Atualizador Quorvel");
    EXPECT_EQ(box.Text, "Linha 1\nLinha 2");
    EXPECT_EQ(box.Icon, QMessageBox::NoIcon);
    EXPECT_EQ(box.Buttons, 1);
    EXPECT_TRUE(box.Modal);
    EXPECT_LE(std::abs(box.Frame.center().x() - box.Screen.center().x()), 1);
    EXPECT_LE(std::abs(box.Frame.center().y() - box.Screen.center().y()), 1);
}

TEST(MessageBox, TimersGoOnWhileItIsOpen) {
    // Also when the box is opened by the tick's own handler, as the give-up box is.
    int ticks = 0;
    int insideBox = 0;
    bool boxShown = false;
    TTimer tick;
    tick.SetInterval(10);
    tick.OnTimer = [&] {
        ++ticks;
        if (boxShown)
            ++insideBox;
        if (!boxShown) {
            boxShown = true;
            ShowMessage("espera");
            boxShown = false;
            tick.SetEnabled(false);
        }
    };
    BoxCloser closer([&](const SeenBox&) { return insideBox >= 5; });
    tick.SetEnabled(true);
    ASSERT_TRUE(WaitFor([&] { return !closer.Seen().empty() && !tick.Enabled(); }));
    EXPECT_GE(insideBox, 5);
    EXPECT_EQ(closer.Seen().size(), 1u);
}

TEST(Guard, ShowsTheStandardExceptionBoxAndGoesOn) {
    BoxCloser closer;
    bool after = false;
    Guard([] { throw Exception("Falhou a porta"); });
    Guard([] { throw std::runtime_error("outra falha"); });
    Guard([] { throw 42; });
    Guard([&] { after = true; });
    EXPECT_TRUE(after);
    ASSERT_EQ(closer.Seen().size(), 3u);
    EXPECT_EQ(closer.Seen()[0].Text, "Falhou a porta");
    EXPECT_EQ(closer.Seen()[0].Icon, QMessageBox::Critical);
    EXPECT_EQ(closer.Seen()[0].Title, "Atualizador Quorvel");
    EXPECT_EQ(closer.Seen()[0].Buttons, 1);
    EXPECT_EQ(closer.Seen()[1].Text, "outra falha");
    // A thrown value that is no exception object is shown with an empty message.
    EXPECT_EQ(closer.Seen()[2].Text, "");
}

TEST(Guard, ATickThatFailsEveryTimeKeepsOneBoxPerErrorOpen) {
    // A timer whose handler always fails: while the first box is open the timer keeps
    // firing; the same error must not stack up further boxes, another error may.
    {
        int failures = 0;
        int mostOpen = 0;
        TTimer tick;
        tick.SetInterval(5);
        tick.OnTimer = [&] {
            mostOpen = std::max(mostOpen, Application->OpenExceptionBoxes());
            if (failures >= 20) {
                tick.SetEnabled(false);
                return;
            }
            Guard([&] {
                ++failures;
                throw Exception("WriteFile function failed (win error code: 5)");
            });
        };
        BoxCloser closer([&](const SeenBox&) { return failures >= 20; });
        tick.SetEnabled(true);
        ASSERT_TRUE(WaitFor([&] { return failures >= 20; }));
        tick.SetEnabled(false);
        ASSERT_TRUE(WaitFor([&] { return Application->OpenExceptionBoxes() == 0; }));
        EXPECT_EQ(mostOpen, 1);
        EXPECT_LE(closer.Seen().size(), 2u);
        for (const SeenBox& box : closer.Seen())
            EXPECT_EQ(box.Text, "WriteFile function failed (win error code: 5)");
    }

    // A different error still gets its own box while one is open.
    bool secondSeen = false;
    BoxCloser nested([&](const SeenBox& box) {
        secondSeen = secondSeen || box.Text == "segundo";
        return secondSeen;
    });
    QTimer::singleShot(20, [] { Guard([] { throw Exception("segundo"); }); });
    Guard([] { throw Exception("primeiro"); });
    std::vector<std::string> texts = nested.Texts();
    EXPECT_EQ(texts, (std::vector<std::string>{"primeiro", "segundo"}));
}

TEST(Timer, EnablingARunningTimerKeepsItsPeriodAndStoppingDropsADueTick) {
    int ticks = 0;
    TTimer tick;
    tick.SetInterval(40);
    tick.OnTimer = [&] { ++ticks; };
    tick.SetEnabled(true);
    // Re-enabling every 10 ms must not keep pushing the first tick away.
    QTimer nudge;
    QObject::connect(&nudge, &QTimer::timeout, [&] { tick.SetEnabled(true); });
    nudge.start(10);
    EXPECT_TRUE(WaitFor([&] { return ticks >= 2; }, std::chrono::seconds(10)));
    nudge.stop();

    // A tick already due when the timer stops never runs.
    tick.SetEnabled(false);
    int before = ticks;
    WaitFor([] { return false; }, std::chrono::milliseconds(150));
    EXPECT_EQ(ticks, before);
}

TEST(MainThreadQueue, WorkerRoutinesRunOnTheMainThreadFromTheEventLoop) {
    std::atomic<bool> ranOnMain{false};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        Sync::Synchronize([&] { ranOnMain = Sync::IsMainThread(); });
        done = true;
    });
    EXPECT_TRUE(WaitFor([&] { return done.load(); }));
    worker.join();
    EXPECT_TRUE(ranOnMain);
}

TEST(MainThreadQueue, HandOversGoOnWhileAMessageBoxIsOpen) {
    std::atomic<int> handled{0};
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop)
            Sync::Synchronize([&] { ++handled; });
    });
    BoxCloser closer([&](const SeenBox&) { return handled >= 50; });
    ShowMessage("recebendo");
    stop = true;
    WaitFor([&] { return false; }, std::chrono::milliseconds(20));
    worker.join();
    EXPECT_GE(handled.load(), 50);
}

TEST(MainThreadQueue, AQueuedRoutineThatFailsIsShownInTheExceptionBox) {
    BoxCloser closer;
    std::thread worker([] { Sync::Queue([] { throw Exception("falha na fila"); }); });
    worker.join();
    ASSERT_TRUE(WaitFor([&] { return !closer.Seen().empty(); }));
    EXPECT_EQ(closer.Seen()[0].Text, "falha na fila");
    EXPECT_EQ(closer.Seen()[0].Icon, QMessageBox::Critical);
}

} // namespace
