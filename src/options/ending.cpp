// ending.cpp: the signals that end a companion's work, waited for.
#include "options/ending.h"

#include <signal.h>

#include <cstring>
#include <ctime>
#include <string>

namespace opt {

namespace {

sigset_t ending_set() {
    sigset_t s;
    sigemptyset(&s);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&s, sig);
    return s;
}

}  // namespace

Ending::Ending(std::function<void()> on_end) : on_end_(std::move(on_end)) {
    const sigset_t s = ending_set();
    pthread_sigmask(SIG_BLOCK, &s, nullptr);
    waiter_ = std::thread([this] {
        const sigset_t set = ending_set();
        for (;;) {
            const int sig = sigwaitinfo(&set, nullptr);
            if (done_.load()) return;
            if (sig <= 0) continue;
            int none = 0;
            if (signal_.compare_exchange_strong(none, sig) && on_end_) on_end_();
        }
    });
}

Ending::~Ending() {
    // A second signal, while the work ended, stays held: the program is
    // ending already, with the status of the first. The waiter is woken
    // by a signal of the set sent to it alone, which it takes for the end
    // of its waiting, not for an ending: the program need not wait for it.
    done_ = true;
    pthread_kill(waiter_.native_handle(), SIGHUP);
    waiter_.join();
}

std::string signal_words(int sig) { return "signal " + std::to_string(sig) + " (" + strsignal(sig) + ")"; }

}  // namespace opt
