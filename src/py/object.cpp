#include "py/object.hpp"

#include <mutex>
#include <string>
#include <unordered_map>

namespace vorel::py {
namespace {

struct Hash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

}  // namespace

PyObject* method_name(const char* name) {
  static std::mutex mutex;
  static std::unordered_map<std::string, PyObject*, Hash, std::equal_to<>> kept;
  const std::string_view wanted(name);
  {
    std::lock_guard lock(mutex);
    if (auto at = kept.find(wanted); at != kept.end()) return at->second;
  }
  // Made outside the lock: interning can run no Python code, but it allocates and may fail.
  PyObject* made = PyUnicode_InternFromString(name);
  if (made == nullptr) return nullptr;
  PyObject* out = nullptr;
  {
    std::lock_guard lock(mutex);
    out = kept.try_emplace(std::string(wanted), made).first->second;
  }
  if (out != made) Py_DECREF(made);
  return out;
}

}  // namespace vorel::py
