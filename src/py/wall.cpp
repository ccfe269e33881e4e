#include "py/wall.hpp"

#include <chrono>

namespace vorel::py::wall {

double seconds() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

std::int64_t micros() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(since).count();
  return us < 0 ? 0 : static_cast<std::int64_t>(us);
}

}  // namespace vorel::py::wall
