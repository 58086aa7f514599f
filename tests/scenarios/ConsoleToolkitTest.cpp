// The console toolkit: what reaches stdout and stderr, and its timer on the event loop.
#include "app/console/ConsoleToolkit.h"
#include "tests/scenarios/FormHarness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

namespace {

// An event loop whose timers the test fires by hand.
class TManualLoop final : public TEventLoop {
public:
    bool Post(TCall, const void*) override { return false; }
    void Send(TCall ACall, const void*) override { ACall(); }
    void ProcessMessages() override { ++fProcessed; }
    TTimerId SetTimer(uint32_t AMilliseconds, TCall ACall) override {
        fTimers[++fNext] = {AMilliseconds, std::move(ACall)};
        return fNext;
    }
    void KillTimer(TTimerId ATimer) override { fTimers.erase(ATimer); }
    void Run() override {}
    void Quit() override { fQuit = true; }
    bool IsMainThread() const override { return true; }
    void WaitForWorker(const void*, const std::function<bool()>&) override {}

    void FireAll() {
        auto due = std::move(fTimers);
        fTimers.clear();
        for (auto& [id, timer] : due)
            timer.second();
    }

    std::map<TTimerId, std::pair<uint32_t, TCall>> fTimers;
    TTimerId fNext = 0;
    int fProcessed = 0;
    bool fQuit = false;
};

struct TConsoleFixture : ::testing::Test {
    TManualLoop fLoop;
    std::istringstream fIn;
    TCapture fOut, fErr;
    TConsoleToolkit Make(bool ATerminal) { return {fLoop, fIn, fOut.File(), fErr.File(), ATerminal}; }
};

} // namespace

TEST_F(TConsoleFixture, StdoutCarriesExactlyTheLogLines) {
    TConsoleToolkit kit = Make(false);
    kit.ListBox().AddAndSelect("Plug in device to update");
    kit.ProgressBar().SetMax(200);
    kit.ProgressBar().SetPosition(100);
    kit.ShowMessage("Cannot access user folder \"/x\"");
    kit.Note("simulating");
    kit.ListBox().AddAndSelect("Done");
    EXPECT_EQ(fOut.Text(), "Plug in device to update\nDone\n");
    EXPECT_EQ(fErr.Text(), "0%\n50%\nerror: Cannot access user folder \"/x\"\nsimulating\n");
    EXPECT_EQ(kit.ListBox().Count(), 2);
    EXPECT_EQ(kit.ListBox().Item(1), "Done");
    EXPECT_EQ(kit.ListBox().Item(2), "");
    EXPECT_EQ(kit.ListBox().Item(-1), "");
}

TEST_F(TConsoleFixture, ProgressShowsEachTenthOnceAndSurvivesBadRanges) {
    TConsoleToolkit kit = Make(false);
    TProgressBar& bar = kit.ProgressBar();
    bar.SetMax(0); // empty range: nothing shown, no division by zero
    bar.SetPosition(5);
    bar.SetMax(1000);
    for (int i = 0; i <= 1000; ++i)
        bar.SetPosition(i);
    bar.SetPosition(5000); // beyond the range clamps to 100 %, already shown
    // The reset for the next run prints nothing; that run's progress shows from 10 %.
    bar.SetPosition(0);
    bar.SetPosition(199);
    std::string expected;
    for (int p = 0; p <= 100; p += 10)
        expected += std::to_string(p) + "%\n";
    EXPECT_EQ(fErr.Text(), expected + "10%\n");
    EXPECT_EQ(fOut.Text(), "");
}

// The updater resets the bar to its start when a flash has ended (and again when the device comes
// back): on a pipe and on a terminal that reset must not show as a "0%" after the 100 %.
TEST_F(TConsoleFixture, ResetAfterProgressIsNotShown) {
    struct TCase {
        bool fTerminal;
        int fMin;
    };
    for (const TCase& c : {TCase{false, 0}, TCase{true, 0}, TCase{false, 10}, TCase{true, 10}}) {
        SCOPED_TRACE(testing::Message() << "terminal " << c.fTerminal << ", min " << c.fMin);
        TCapture err;
        TConsoleToolkit kit{fLoop, fIn, fOut.File(), err.File(), c.fTerminal};
        TProgressBar& bar = kit.ProgressBar();
        bar.SetMin(c.fMin);
        bar.SetMax(c.fMin + 100);
        bar.SetPosition(c.fMin + 100);
        const std::string afterFlash = err.Text();
        ASSERT_NE(afterFlash.find("100%\n"), std::string::npos);
        bar.SetPosition(c.fMin); // the reset after the flash
        bar.SetPosition(c.fMin); // and the one when the device is back
        EXPECT_EQ(err.Text(), afterFlash);
        bar.SetPosition(c.fMin + 50); // a later flash still shows its progress
        EXPECT_NE(err.Text().find("50%", afterFlash.size()), std::string::npos);
    }
}

TEST_F(TConsoleFixture, TerminalProgressIsDrawnInPlace) {
    TConsoleToolkit kit = Make(true);
    kit.ProgressBar().SetPosition(50);
    kit.ProgressBar().SetPosition(51);
    kit.ProgressBar().SetPosition(100);
    const std::string err = fErr.Text();
    EXPECT_NE(err.find("\r[" + std::string(20, '#') + std::string(20, ' ') + "]  50%"), std::string::npos);
    // Every percent is drawn on a terminal.
    EXPECT_NE(err.find("]  51%"), std::string::npos);
    EXPECT_EQ(err.back(), '\n');
    EXPECT_EQ(err.find('\n'), err.size() - 1);
}

TEST_F(TConsoleFixture, InputBoxConfirmsKeepsDefaultOrCancelsAtEnd) {
    fIn.str("1234\n\n");
    TConsoleToolkit kit = Make(false);
    EXPECT_EQ(kit.InputBox("Key", "Enter key", "0"), "1234");
    EXPECT_EQ(kit.InputBox("Key", "Enter key", "0"), "0");
    EXPECT_EQ(kit.InputBox("Key", "Enter key", "0"), std::nullopt);
    EXPECT_EQ(fOut.Text(), "");
}

TEST_F(TConsoleFixture, TimerIsOneShotOnTheLoopAndButtonClickIgnoresEnabled) {
    TConsoleToolkit kit = Make(false);
    int fired = 0;
    kit.Timer().SetOnTimer([&] { ++fired; });
    kit.Timer().SetInterval(250);
    kit.Timer().SetEnabled(true);
    ASSERT_EQ(fLoop.fTimers.size(), 1u);
    EXPECT_EQ(fLoop.fTimers.begin()->second.first, 250u);
    fLoop.FireAll();
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(kit.Timer().Enabled());
    kit.Timer().SetEnabled(true);
    kit.Timer().SetEnabled(false);
    EXPECT_TRUE(fLoop.fTimers.empty());

    int clicks = 0;
    kit.Button().SetOnClick([&] { ++clicks; });
    kit.Button().SetEnabled(false);
    kit.Button().Click();
    EXPECT_EQ(clicks, 1);

    kit.ProcessMessages();
    kit.Terminate();
    EXPECT_EQ(fLoop.fProcessed, 1);
    EXPECT_TRUE(fLoop.fQuit);
}

TEST(ConsoleToolkit, AutoClickRunsOncePerOfferAfterTheOfferingHandler) {
    TStdEventLoop loop;
    std::istringstream in;
    TCapture out, err;
    TConsoleToolkit kit(loop, in, out.File(), err.File(), false);
    kit.SetAutoClick(true);
    int clicks = 0;
    kit.Button().SetOnClick([&] {
        ++clicks;
        kit.Button().SetEnabled(false);
    });
    kit.Button().SetEnabled(false);
    kit.Button().SetEnabled(true);
    kit.Button().SetEnabled(true); // still the same offer
    EXPECT_EQ(clicks, 0);
    loop.ProcessMessages();
    EXPECT_EQ(clicks, 1);
    // An offer withdrawn before the click runs is not clicked.
    kit.Button().SetEnabled(true);
    kit.Button().SetEnabled(false);
    loop.ProcessMessages();
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(err.Text(), "clicking Update\n");
    EXPECT_EQ(out.Text(), "");
    // A click still queued when the toolkit goes is dropped with it.
    {
        TConsoleToolkit other(loop, in, out.File(), err.File(), false);
        other.SetAutoClick(true);
        other.Button().SetOnClick([&] { ADD_FAILURE() << "clicked after destruction"; });
        other.Button().SetEnabled(false);
        other.Button().SetEnabled(true);
    }
    loop.ProcessMessages();
}

TEST(ConsoleToolkit, InputBoxUsesTheGivenAnswerOrCancelsWithoutATerminal) {
    TStdEventLoop loop;
    std::istringstream in("typed\n");
    TCapture out, err;
    TConsoleToolkit kit(loop, in, out.File(), err.File(), false);
    kit.SetInteractive(false);
    EXPECT_EQ(kit.InputBox("Device key", "Enter key", ""), std::nullopt);
    kit.SetInputAnswer("1-2-3-4-5-6-7-8");
    EXPECT_EQ(kit.InputBox("Device key", "Enter key", ""), "1-2-3-4-5-6-7-8");
    EXPECT_EQ(err.Text(), "Device key: Enter key [cancelled: no terminal to ask]\n"
                          "Device key: Enter key [answered with --key]\n");
    EXPECT_EQ(out.Text(), "");
}
