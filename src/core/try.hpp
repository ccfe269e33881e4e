// The one early return of the tree's readers and builders, for functions that return a
// std::expected: a failure of a step ends the function with that step's error, converted to the
// function's own error type where that type converts from it.
#pragma once

#include <expected>
#include <utility>

// Binds `name` to the value of `expr`, a std::expected, or returns its error.
#define VOREL_TRY(name, expr)                                                 \
  auto name##_tried = (expr);                                                 \
  if (!name##_tried) return std::unexpected(std::move(name##_tried).error()); \
  auto& name = *name##_tried

// The same for a step whose value is not wanted, a std::expected<void, E> among them.
#define VOREL_CHECK(expr) \
  if (auto checked_ = (expr); !checked_) return std::unexpected(std::move(checked_).error())
