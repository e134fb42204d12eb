#pragma once

#include <pthread.h>

#include <map>

namespace tarn::tarn_core {

// A pthread spin lock that is destroyed only if it was initialised.
class spinlock {
 public:
  spinlock() { initialised = pthread_spin_init(&lock_, PTHREAD_PROCESS_PRIVATE) == 0; }
  ~spinlock() {
    if (initialised) pthread_spin_destroy(&lock_);
  }
  spinlock(const spinlock&) = delete;
  spinlock& operator=(const spinlock&) = delete;

  void lock() { pthread_spin_lock(&lock_); }
  void unlock() { pthread_spin_unlock(&lock_); }

 private:
  pthread_spinlock_t lock_;
  bool initialised;
};

// A map guarded by a spin lock. Members are destroyed spin lock first, then the map.
template <class K, class V>
class mtmap {
 public:
  std::map<K, V> map;
  spinlock lock;
};

}  // namespace tarn::tarn_core
