#include "py/node/runs.hpp"

namespace vorel::py {

void Runs::enter(const Object& task, const Object& activation, std::uint64_t number) {
  std::optional<runs::Reader> replaced;
  {
    auto map = readers.lock();
    auto [at, inserted] = map->try_emplace(reinterpret_cast<std::uintptr_t>(task.get()));
    if (!inserted) replaced = std::move(at->second);
    at->second = runs::Reader{task, activation, number};
  }
}

void Runs::leave(const Object& task) {
  std::optional<runs::Reader> gone;
  {
    auto map = readers.lock();
    auto at = map->find(reinterpret_cast<std::uintptr_t>(task.get()));
    if (at != map->end() && at->second.task.get() == task.get()) {
      gone = std::move(at->second);
      map->erase(at);
    }
  }
}

Object Runs::current() {
  Object function = current_task.get();
  if (!function) {
    Object asyncio = import("asyncio");
    if (asyncio) function = attr(asyncio.get(), "current_task");
    if (!function) {
      PyErr_Clear();
      return Object();
    }
    Object old = current_task.replace(function);
  }
  Object task = call(function.get());
  if (!task) {
    PyErr_Clear();
    return Object();
  }
  if (task.get() == Py_None) return Object();
  return task;
}

std::optional<std::pair<Object, std::uint64_t>> Runs::running() {
  if (readers.lock()->empty()) return std::nullopt;
  Object task = current();
  if (!task) return std::nullopt;
  std::optional<std::pair<Object, std::uint64_t>> found;
  {
    auto map = readers.lock();
    auto at = map->find(reinterpret_cast<std::uintptr_t>(task.get()));
    if (at != map->end() && at->second.task.get() == task.get()) {
      found.emplace(at->second.activation, at->second.number);
    }
  }
  return found;
}

}  // namespace vorel::py
