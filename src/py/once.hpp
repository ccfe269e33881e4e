// A Python object made once per process, at its first use: the module's classes and exception
// classes, which every interpreter and every import share.
#pragma once

#include <atomic>
#include <mutex>

#include "py/object.hpp"

namespace vorel::py {

class Once {
 public:
  // The kept object (borrowed), or what `make` returns (a new reference, kept from then on);
  // nullptr, with the interpreter's error set, when `make` fails, so a later use tries again.
  // The object is made under the cell's mutex with the interpreter lock held; a second thread
  // waits for the mutex with the interpreter lock released, so neither deadlocks and the object
  // is made once.
  template <class Make>
  PyObject* get(Make make) {
    if (PyObject* p = value_.load(std::memory_order_acquire)) return p;
    std::unique_lock lock(making_, std::try_to_lock);
    if (!lock.owns_lock()) {
      Unlocked unlocked;
      lock.lock();
    }
    if (PyObject* p = value_.load(std::memory_order_acquire)) return p;
    PyObject* p = make();
    if (p != nullptr) value_.store(p, std::memory_order_release);
    return p;
  }

 private:
  std::atomic<PyObject*> value_{nullptr};
  std::mutex making_;
};

}  // namespace vorel::py
