// The completion of a transport task. The tasks report their failures as values; one that ends
// by an exception all the same (an allocation that failed, a fault) must not end in silence:
// what it served ends with it, so that a connection closes and its peer is reported lost, a dial
// reports its address unreachable, an accept loop says it has stopped.
#pragma once

#include <exception>
#include <utility>

namespace vorel::net {

// A handler for co_spawn that calls `end(failed)` when the task has ended, on the task's own
// executor (its strand): `failed` says whether it ended by an exception.
template <class F>
auto ended(F end) {
  return [end = std::move(end)](std::exception_ptr error) mutable { end(static_cast<bool>(error)); };
}

// A handler for co_spawn that calls `end()` only when the task ended by an exception.
template <class F>
auto on_failure(F end) {
  return ended([end = std::move(end)](bool failed) mutable {
    if (failed) end();
  });
}

}  // namespace vorel::net
