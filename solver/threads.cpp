// Thread start and join with the platform's own functions: CreateThread on
// Windows, pthread_create elsewhere. Nothing else in the project starts a
// thread, so the symbols a module needs from the C library are pinned here.
#include "threads.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>
#endif

// The release modules must load on systems with an older glibc than the
// build machine's: MATLAB supports glibc 2.28. glibc 2.34 moved
// pthread_create and pthread_join into libc under a new symbol version, so
// they are bound here to the version every x86-64 glibc has (in libpthread
// before 2.34, which MATLAB has loaded). They are weak as well: in a process
// without them the module still loads, and the calling thread does all the
// work. Not with sanitizers, whose runtimes intercept these functions by
// their current names.
#if defined(TARVENLOCH_OLD_GLIBC_THREADS) && defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_join,pthread_join@GLIBC_2.2.5");
#pragma weak pthread_create
#pragma weak pthread_join
#define TARVENLOCH_WEAK_THREADS 1
#endif

namespace tarvenloch {
namespace {

struct Job {
    void (*work)(void *);
    void *context;
};

#if defined(_WIN32)
DWORD WINAPI threadMain(LPVOID job) {
#else
void *threadMain(void *job) {
#endif
    const Job *task = static_cast<const Job *>(job);
    task->work(task->context);
    return 0;
}

}  // namespace

int hardwareThreads() {
#if defined(_WIN32)
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
        int count = 0;
        for (; process != 0; process &= process - 1) ++count;
        return count;
    }
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
#else
#if defined(__linux__)
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        const int count = CPU_COUNT(&allowed);
        if (count > 0) return count;
    }
#endif
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
#endif
}

void runOnThreads(int count, void (*work)(void *), void *context) {
    Job job{work, context};
    int extra = count > 1 ? count - 1 : 0;
#if defined(TARVENLOCH_WEAK_THREADS)
    if (&pthread_create == nullptr) extra = 0;  // no thread functions in this process
#endif
#if defined(_WIN32)
    using Handle = HANDLE;
#else
    using Handle = pthread_t;
#endif
    // Without memory for the handles, the calling thread does all the work.
    Handle *threads =
        extra > 0 ? static_cast<Handle *>(std::malloc(extra * sizeof(Handle))) : nullptr;
    int started = 0;
    while (threads != nullptr && started < extra) {
#if defined(_WIN32)
        threads[started] = CreateThread(nullptr, 0, threadMain, &job, 0, nullptr);
        if (threads[started] == nullptr) break;
#else
        if (pthread_create(&threads[started], nullptr, threadMain, &job) != 0) break;
#endif
        ++started;
    }
    work(context);
    for (int i = 0; i < started; ++i) {
#if defined(_WIN32)
        WaitForSingleObject(threads[i], INFINITE);
        CloseHandle(threads[i]);
#else
        pthread_join(threads[i], nullptr);
#endif
    }
    std::free(threads);
}

void yieldThread() {
#if defined(_WIN32)
    Sleep(0);
#else
    sched_yield();
#endif
}

void sleepBriefly() {
#if defined(_WIN32)
    Sleep(0);  // Sleep(1) sleeps for a whole timer tick, up to 15 ms
#else
    struct timespec interval = {0, 50000};
    nanosleep(&interval, nullptr);
#endif
}

}  // namespace tarvenloch
