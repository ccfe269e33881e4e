// How the writer reads the fields of a dataclass value without a lookup by name through the class
// for every field: for an instance of the class itself, a field that no data descriptor of the
// class governs is taken from the instance's __dict__ (where the generic lookup would find it
// first), and a field that one governs (a slot, a property) from that descriptor, as the generic
// lookup would call it. What the class defines for each name is found when the schema is compiled,
// like everything else a schema knows of the class: a descriptor given to the class for a field's
// name after that is not seen. Any other value, a subclass's instance, a class that overrides its
// attribute lookup, or a field missing from the __dict__ is read by the lookup itself.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "py/object.hpp"
#include "py/schema/failure.hpp"

namespace vorel::py::schema::attributes {

// Whether instances of the class are looked up by the generic lookup: no __getattribute__ and no
// __getattr__ of its own or of a base.
bool generic(PyObject* cls);

// How one name is read from an instance of the class itself.
struct Way {
  enum class By : std::uint8_t { Lookup, Dict, Descriptor };
  By by = By::Lookup;
  Object descriptor;             // By::Descriptor: the data descriptor the class finds first
  descrgetfunc get = nullptr;    // its __get__

  // The attribute of an instance of cls itself: its descriptor called as the lookup would call it,
  // or the lookup. Null with the error set.
  Object read(PyObject* value, PyObject* cls, PyObject* name) const {
    return Object::steal(by == By::Descriptor ? get(descriptor.get(), value, cls) : PyObject_GetAttr(value, name));
  }
};

// The ways of every name of one class, in the order the names are read.
struct Plan {
  std::vector<Way> ways;
  bool direct = false;  // some name is read other than by the lookup
  bool dict = false;    // some name is read from the instance's __dict__

  // The plan of reading `names` from instances of `cls`; all by lookup when cls is unusual.
  static Result<Plan> of(PyObject* cls, std::span<const Object> names);
};

// Reads the names of one value in the plan's order.
class Reading {
 public:
  Reading(const Plan& plan, PyObject* cls, std::span<const Object> names, PyObject* value);
  Reading(const Reading&) = delete;
  Reading& operator=(const Reading&) = delete;

  // The attribute of the i-th name; null with the lookup's error set. Asked in order, each costs
  // what reading the next entry of the __dict__ costs.
  Object get(std::size_t i) {
    if (direct_ && plan_.ways[i].by == Way::By::Dict && dict_) {
      // The fields are stored in their order, so the next entry is most often the one asked for;
      // whatever entry holds the name holds its current value.
      PyObject* key = nullptr;
      PyObject* found = nullptr;
      Py_ssize_t next = position_;
      if (PyDict_Next(dict_.get(), &next, &key, &found) && key == names_[i].get()) {
        position_ = next;
        return Object::borrow(found);
      }
    }
    return slow(i);
  }

 private:
  Object slow(std::size_t i);

  const Plan& plan_;
  std::span<const Object> names_;
  PyObject* value_;
  bool direct_ = false;
  Object dict_;
  Py_ssize_t position_ = 0;  // where the next entry of the __dict__ is, read in order
};

}  // namespace vorel::py::schema::attributes
