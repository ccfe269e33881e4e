// The two loop calls that every ask and every read make: the loop's time and a new future. When
// the loop keeps its asyncio base class's own methods, which read the monotonic clock and make a
// Future of the loop, the binding does the same without a call by name into Python code; a loop
// that brings its own, by its class or on the instance, is called as it is.
#pragma once

#include <memory>
#include <optional>

#include "py/locked.hpp"
#include "py/object.hpp"

namespace vorel::py::loop {

// What `loop.get_task_factory()` answers. A loop that keeps asyncio's own method, on its class and
// its instance, has it read where that method reads it, which spares a call into Python code; any
// other loop is asked. Null with the error set.
Object task_factory(PyObject* loop);

class Calls {
 public:
  // The loop's time, seconds of its clock; none with the error set.
  std::optional<double> time(PyObject* loop);
  // A new future of the loop; null with the error set.
  Object future(PyObject* loop);
  // Lets go of what was learnt of the last loop.
  void forget();

 private:
  struct Known {
    Object loop;          // held, so that the identity check cannot meet a reused address
    Object dict;          // the loop's own attributes, where a replaced method would sit; may be null
    Object future_class;  // the Future class the base class's create_future makes
    Object keywords;      // ("loop",)
    Object running;       // asyncio's _get_running_loop; may be null
    bool base_time = false;
    bool base_future = false;
  };
  std::shared_ptr<const Known> known(PyObject* loop);
  Locked<std::shared_ptr<const Known>> known_;
};

}  // namespace vorel::py::loop
