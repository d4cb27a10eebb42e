// helper_thread.h: a thread that works beside the run.
#ifndef TOLMAR_BASE_HELPER_THREAD_H
#define TOLMAR_BASE_HELPER_THREAD_H

#include <pthread.h>
#include <signal.h>

#include <thread>

// It takes no signal, so that a signal always reaches the thread that asks
// the questions (or reads the table) and stops its reading. The mask is
// set before the thread starts (it inherits it): a signal cannot slip in
// between.
template <typename Work>
std::thread helper_thread(Work work) {
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    std::thread t(work);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return t;
}

#endif
