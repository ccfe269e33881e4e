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

PyObject* method_name(Literal literal) {
  // A slot keyed on the literal's address skips the lock and the hash on every call after the
  // first. The slots need no lock of their own: a name is only wanted for a call into Python, so
  // the caller holds the interpreter lock, which orders every use of them. Literals sit a few bytes
  // apart, so the address is mixed before it picks a slot, and a few neighbouring slots are tried:
  // two names that are both in use must not keep evicting each other.
  struct Slot {
    const char* key = nullptr;
    PyObject* name = nullptr;
  };
  constexpr int kBits = 9;
  constexpr std::size_t kSlots = std::size_t{1} << kBits, kProbes = 4;
  static std::array<Slot, kSlots> slots;
  const char* key = literal.c_str();
  const std::size_t home = (reinterpret_cast<std::uintptr_t>(key) * 0x9E3779B97F4A7C15ull) >> (64 - kBits);
  Slot* free = nullptr;
  for (std::size_t i = 0; i < kProbes; ++i) {
    Slot& slot = slots[(home + i) % kSlots];
    if (slot.key == key) return slot.name;
    if (slot.key == nullptr) {  // slots are never emptied, so the name is not further on
      free = &slot;
      break;
    }
  }
  PyObject* found = named(key);
  if (found != nullptr) *(free != nullptr ? free : &slots[home]) = Slot{key, found};
  return found;
}

Object loaded(Literal module) {
  PyObject* name = method_name(module);
  if (name == nullptr) return Object();
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* found = modules != nullptr && PyDict_Check(modules) ? PyDict_GetItemWithError(modules, name) : nullptr;
  if (found != nullptr && found != Py_None) return Object::borrow(found);
  if (PyErr_Occurred()) return Object();
  return import(module.c_str());
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
