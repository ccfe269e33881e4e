// A Python object made at its first use and kept for the life of the process: the module's type
// objects and exception classes. Every import shares them, which is why the module declares that
// it does not support several interpreters.
#pragma once

#include <atomic>
#include <mutex>

#include "py/object.hpp"

namespace vorel::py {

class Once {
 public:
  // The kept object (borrowed), or what `make` gives (a new reference, kept when not null). The
  // maker runs under the cell's mutex with the interpreter lock held; a second thread waits for
  // the mutex with the interpreter lock released, so neither deadlocks and the object is made once.
  template <class Make>
  PyObject* get(Make&& make) {
    if (PyObject* o = value_.load(std::memory_order_acquire)) return o;
    std::unique_lock lock(making_, std::try_to_lock);
    if (!lock.owns_lock()) {
      Unlocked unlocked;
      lock.lock();
    }
    if (PyObject* o = value_.load(std::memory_order_acquire)) return o;
    PyObject* o = make();
    if (o != nullptr) value_.store(o, std::memory_order_release);
    return o;
  }

 private:
  std::atomic<PyObject*> value_{nullptr};
  std::mutex making_;
};

}  // namespace vorel::py
