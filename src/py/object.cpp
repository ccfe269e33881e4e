#include "py/object.hpp"

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace vorel::py {
namespace {

struct Hash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

PyObject* named(const char* name);

}  // namespace

PyObject* method_name(const char* name) {
  // Names are string literals, so a slot keyed on the address skips the lock and the hash on every
  // call after the first. The text is still compared, so that an address reused for other text can
  // never give a wrong name. The slots need no lock of their own: a name is only wanted for a call
  // into Python, so the caller holds the interpreter lock, which orders every use of them.
  struct Slot {
    const char* key = nullptr;
    std::string text;
    PyObject* name = nullptr;
  };
  static std::array<Slot, 128> slots;
  Slot& slot = slots[(reinterpret_cast<std::uintptr_t>(name) >> 3) % slots.size()];
  if (slot.key == name && slot.text == name) return slot.name;
  PyObject* found = named(name);
  if (found != nullptr) slot = Slot{name, name, found};
  return found;
}

Object loaded(const char* module) {
  PyObject* name = method_name(module);
  if (name == nullptr) return Object();
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* found = modules != nullptr && PyDict_Check(modules) ? PyDict_GetItemWithError(modules, name) : nullptr;
  if (found != nullptr && found != Py_None) return Object::borrow(found);
  if (PyErr_Occurred()) return Object();
  return import(module);
}

namespace {

PyObject* named(const char* name) {
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

}  // namespace

}  // namespace vorel::py
