// Calls per second from a worker to the main thread through CThread, sent (the worker waits for
// each) and posted (the worker queues them all and the main thread drains the queue).
#include "MyLib/clib.h"
#include "platform/StdEventLoop.h"

#include <benchmark/benchmark.h>

#include <atomic>

namespace {

class TCaller : public CThread {
public:
    TCaller(TEventLoop& ALoop, int ACalls, bool ASent) : CThread(ALoop), fCalls(ACalls), fSent(ASent) {}
    ~TCaller() override {
        Stop();
        Wait();
    }
    std::atomic<bool> fDone{false};
    int64_t fReceived = 0; // main thread only

protected:
    int Execute() override {
        auto take = [this](uintptr_t AParam1, uintptr_t) { fReceived += int64_t(AParam1); };
        for (int i = 0; i < fCalls; ++i)
            if (fSent)
                SendCall(1, 0, take);
            else
                PostCall(1, 0, take);
        fDone = true;
        return 0;
    }

private:
    int fCalls;
    bool fSent;
};

void RunCalls(benchmark::State& AState, bool ASent) {
    constexpr int kCalls = 10000;
    TStdEventLoop loop;
    for (auto _ : AState) {
        TCaller caller(loop, kCalls, ASent);
        caller.Resume();
        loop.RunUntil([&] { return caller.fDone && caller.fReceived == kCalls; }, 60000);
        if (caller.fReceived != kCalls)
            AState.SkipWithError("calls were lost");
    }
    AState.SetItemsProcessed(AState.iterations() * kCalls);
}

void BM_SentCalls(benchmark::State& AState) {
    RunCalls(AState, true);
}
void BM_PostedCalls(benchmark::State& AState) {
    RunCalls(AState, false);
}

} // namespace

BENCHMARK(BM_SentCalls)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PostedCalls)->Unit(benchmark::kMillisecond)->UseRealTime();
