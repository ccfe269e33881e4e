// A value behind a mutex of its own: the only way to the value is an access that holds the lock.
#pragma once

#include <mutex>
#include <utility>

namespace vorel::py {

template <class T>
class Locked {
 public:
  class Access {
   public:
    Access(std::mutex& mutex, T& value) : lock_(mutex), value_(&value) {}
    T& operator*() const { return *value_; }
    T* operator->() const { return value_; }

   private:
    std::unique_lock<std::mutex> lock_;
    T* value_;
  };

  Locked() = default;
  explicit Locked(T value) : value_(std::move(value)) {}
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  Access lock() { return Access(mutex_, value_); }

  // A copy taken under the lock.
  T get() {
    std::lock_guard guard(mutex_);
    return value_;
  }

  // Puts a new value in and hands the old one back, so that the caller lets it go once the lock is
  // released: letting a Python object go can run Python code, which may come back for this lock.
  T replace(T value) {
    std::lock_guard guard(mutex_);
    return std::exchange(value_, std::move(value));
  }

 private:
  std::mutex mutex_;
  T value_{};
};

}  // namespace vorel::py
