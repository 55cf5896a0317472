// Scoped locking for the lists' own mutexes.
#pragma once

#include <pthread.h>

class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t* m) : m_(m) { pthread_mutex_lock(m_); }
    ~MutexGuard() { pthread_mutex_unlock(m_); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    pthread_mutex_t* m_;
};

// Two lists' locks: taken first then second, and released in that same order.
class MutexPairGuard {
public:
    MutexPairGuard(pthread_mutex_t* first, pthread_mutex_t* second) : first_(first), second_(second) {
        pthread_mutex_lock(first_);
        pthread_mutex_lock(second_);
    }
    ~MutexPairGuard() {
        pthread_mutex_unlock(first_);
        pthread_mutex_unlock(second_);
    }
    MutexPairGuard(const MutexPairGuard&) = delete;
    MutexPairGuard& operator=(const MutexPairGuard&) = delete;

private:
    pthread_mutex_t* first_;
    pthread_mutex_t* second_;
};
