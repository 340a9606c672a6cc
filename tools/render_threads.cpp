#include "render_threads.h"

#include "signals_held.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>

namespace {

// One frame in flight: the caller hands out tickets, one a helper to wake.
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
pthread_cond_t finished = PTHREAD_COND_INITIALIZER;
RenderWorkspace* job = nullptr;
int tickets = 0;  // helpers still to start on the job
int busy = 0;     // helpers woken for the job and not yet done
int started = 0;

void* Helper(void*)
{
    pthread_mutex_lock(&mutex);
    for (;;) {
        while (tickets == 0)
            pthread_cond_wait(&wake, &mutex);
        --tickets;
        RenderWorkspace* workspace = job;
        pthread_mutex_unlock(&mutex);
        RenderBands(workspace);
        pthread_mutex_lock(&mutex);
        if (--busy == 0)
            pthread_cond_signal(&finished);
    }
    return nullptr;
}

}  // namespace

int UsableCpus()
{
    cpu_set_t cpus;
    return sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? std::max(1, CPU_COUNT(&cpus)) : 1;
}

int StartRenderThreads(int count, int* error)
{
    // Render threads need little stack. The default, 8 MB each on most Linux
    // systems, would run a 32-bit tool out of address space long before 1,024.
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 << 10);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // Helpers take no signals: a signal for the process is handled on the
    // main thread, where the picture's file is managed. Created directly
    // rather than through std::thread: with exceptions off, a thread that
    // cannot be started would end the run.
    WithSignalsHeld([&] {
        for (; started < count; ++started) {
            pthread_t thread;
            *error = pthread_create(&thread, &attributes, Helper, nullptr);
            if (*error != 0)
                break;
        }
    });
    pthread_attr_destroy(&attributes);
    return started;
}

int RenderOnHelperThreads(RenderWorkspace* workspace)
{
    const int helpers = std::min(started, std::max(0, FrameBands(workspace) - 1));
    if (helpers > 0) {
        pthread_mutex_lock(&mutex);
        job = workspace;
        tickets = busy = helpers;
        for (int i = 0; i < helpers; ++i)
            pthread_cond_signal(&wake);
        pthread_mutex_unlock(&mutex);
    }
    RenderBands(workspace);
    if (helpers > 0) {
        pthread_mutex_lock(&mutex);
        while (busy > 0)
            pthread_cond_wait(&finished, &mutex);
        pthread_mutex_unlock(&mutex);
    }
    return helpers + 1;
}
