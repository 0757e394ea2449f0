// Compiled by the tests, not built: a write to a guarded member, with its
// lock held only when SORN_HOLD_THE_LOCK is defined. The analysis must refuse
// the file without it and accept it with it.
#include "threading/Mutex.h"

struct Counter {
    sorn::Mutex mutex;
    int count SORN_GUARDED_BY(mutex) = 0;

    void Add() {
#ifdef SORN_HOLD_THE_LOCK
        sorn::MutexLock lock(mutex);
#endif
        ++count;
    }
};

int main() {
    Counter counter;
    counter.Add();
}
