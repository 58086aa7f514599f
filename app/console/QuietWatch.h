#pragma once
// The console front end's end of work: the moment the bench has been quiet for a while.
#include <cstdint>
#include <functional>

class TEventLoop;

// Calls AOnQuiet once AIsQuiet has held at every check for AQuietMs (checked every 100 ms on the
// main loop's timers). Nothing more is checked after that.
class TQuietWatch {
public:
    TQuietWatch(TEventLoop& ALoop, std::function<bool()> AIsQuiet, std::function<void()> AOnQuiet,
                uint32_t AQuietMs = 1000);
    ~TQuietWatch();
    TQuietWatch(const TQuietWatch&) = delete;
    TQuietWatch& operator=(const TQuietWatch&) = delete;

private:
    void Check();

    TEventLoop& fLoop;
    std::function<bool()> fIsQuiet;
    std::function<void()> fOnQuiet;
    uint32_t fQuietMs;
    uint32_t fQuietSoFar = 0;
    uint64_t fTimer = 0;
};
