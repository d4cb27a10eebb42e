// ending.h: how a companion that works for a while (a table of stations, the
// workbench's server) ends on SIGINT, SIGTERM or SIGHUP as the console does:
// the signal is held from every thread and waited for by one of its own,
// which records it and calls the work's own stop; the work ends its step,
// makes durable what it stamped, removes what it left half made, says so
// and ends with status 128 + the signal.
#ifndef TOLMAR_OPTIONS_ENDING_H
#define TOLMAR_OPTIONS_ENDING_H

#include <atomic>
#include <functional>
#include <thread>

namespace opt {

class Ending {
public:
    // Holds the signals from this thread and the threads it starts from
    // now on: make it before any other thread. `on_end` runs on the
    // waiting thread when the first signal comes.
    explicit Ending(std::function<void()> on_end = nullptr);
    ~Ending();
    Ending(const Ending &) = delete;
    Ending &operator=(const Ending &) = delete;

    // The signal that came, or 0.
    int signal() const { return signal_.load(); }

private:
    std::function<void()> on_end_;
    std::atomic<int> signal_{0};
    std::atomic<bool> done_{false};
    std::thread waiter_;
};

// "signal 15 (Terminated)"
std::string signal_words(int sig);

}  // namespace opt

#endif
