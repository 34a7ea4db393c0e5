// Worker threads for the batch, started in one place: threads.cpp is the
// only file that calls the platform's thread functions, so a release build
// can pin their symbol versions there.
#ifndef TARVENLOCH_THREADS_H
#define TARVENLOCH_THREADS_H

namespace tarvenloch {

// How many threads this process may run at once: the processors it is
// allowed on, at least 1.
int hardwareThreads();

// Runs work(context) on `count` threads at once, the calling thread being
// one of them, and returns when every one has finished. A thread that
// cannot be started is not retried: work must take its share from a common
// counter, so that the threads that did start finish everything.
void runOnThreads(int count, void (*work)(void *), void *context);

// Lets another thread that is ready to run have this processor: a thread
// waiting on others' work calls it while it waits.
void yieldThread();

// Sleeps for some 50 microseconds (on Windows, yields): a thread that has
// waited a while without work calls it, so that it leaves the processor to
// the threads that have work, this process's or others'.
void sleepBriefly();

}  // namespace tarvenloch

#endif
