// Steps that must happen together, with no signal handler run between them.
#pragma once
#include <pthread.h>
#include <signal.h>

// Runs step() with every signal that can be blocked held back on the calling
// thread; those that arrive meanwhile are delivered once it returns. Threads
// started meanwhile inherit the held mask and keep it.
template <class Step>
void WithSignalsHeld(Step step)
{
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    step();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}
