// Which activation, in which run, each asyncio task of a node is running: the activation engine
// registers a body's task when it starts it, so that code running on that task can find its own
// key (the ask chain of an outgoing ask, the answered mark of the message it handles).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <unordered_map>

#include "py/keyed.hpp"
#include "py/locked.hpp"
#include "py/object.hpp"

namespace vorel::py {

namespace runs {

struct Reader {
  Object task;        // held, so that its address, the entry's key, is not reused meanwhile
  Object activation;  // the Activation's Python object
  std::uint64_t number = 0;
};

}  // namespace runs

struct Runs {
  // Keyed by the task's address: the interpreter's, which no one outside chooses.
  Locked<std::unordered_map<std::uintptr_t, runs::Reader>> readers;
  // asyncio.current_task, looked up at its first use.
  Locked<Object> current_task;

  void enter(const Object& task, const Object& activation, std::uint64_t number);
  void leave(const Object& task);
  // The asyncio task running now; null outside a task. Never fails.
  Object current();
  // The activation and run number of the body running on the current task, if any.
  std::optional<std::pair<Object, std::uint64_t>> running();
};

}  // namespace vorel::py
