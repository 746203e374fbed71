// The threads an adapter library starts run its callbacks and nothing of the program's own:
// they take none of the program's asynchronous signals. A handler the program installed for
// Ctrl+C or a timer expects to run on one of the program's threads, which may be asleep in a
// wait only that handler ends; the kernel would otherwise pick any thread, this one included.
#pragma once

#include <csignal>
#include <memory>
#include <pthread.h>
#include <thread>
#include <utility>

namespace mulvo::lib {

template <typename Function> std::unique_ptr<std::thread> startQuietThread(Function &&function)
{
    sigset_t asynchronous;
    sigfillset(&asynchronous);
    // Faults of the thread's own making still reach it (and the segment guard's handler).
    for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
        sigdelset(&asynchronous, fault);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &asynchronous, &previous);
    struct Restore
    {
        const sigset_t &mask;
        ~Restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
    } restore{previous};
    // The new thread inherits the mask in force while it is created.
    return std::make_unique<std::thread>(std::forward<Function>(function));
}

} // namespace mulvo::lib
