#include "py/schema/attributes.hpp"

namespace vorel::py::schema::attributes {

bool generic(PyObject* cls) {
  return PyType_GetSlot(reinterpret_cast<PyTypeObject*>(cls), Py_tp_getattro) ==
         reinterpret_cast<void*>(PyObject_GenericGetAttr);
}

namespace {

// What the class's MRO holds under the name, first found first, as the lookup finds it; a null
// Object when nothing does.
Result<Object> first_in(PyObject* mro, PyObject* name) {
  const Py_ssize_t n = PyTuple_Size(mro);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Object members = attr(PyTuple_GetItem(mro, i), "__dict__");
    if (!members) return raised();
    Object found = Object::steal(PyObject_GetItem(members.get(), name));
    if (found) return found;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return raised();
    PyErr_Clear();
  }
  return Object();
}

}  // namespace

Result<Plan> Plan::of(PyObject* cls, std::span<const Object> names) {
  Plan plan;
  plan.ways.resize(names.size());
  if (!PyType_Check(cls) || !generic(cls)) return plan;
  Object mro = attr(cls, "__mro__");
  if (!mro) return raised();
  if (!PyTuple_Check(mro.get())) return plan;
  Object offset = attr(cls, "__dictoffset__");
  if (!offset) return raised();
  const int dicts = PyObject_IsTrue(offset.get());
  if (dicts < 0) return raised();
  for (std::size_t i = 0; i < names.size(); ++i) {
    VOREL_TRY(found, first_in(mro.get(), names[i].get()));
    Way& way = plan.ways[i];
    auto* kind = found ? Py_TYPE(found.get()) : nullptr;
    if (kind != nullptr && PyType_GetSlot(kind, Py_tp_descr_set) != nullptr) {
      // A data descriptor wins over the __dict__: the lookup calls it, and so is it called here.
      if (auto get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(kind, Py_tp_descr_get))) {
        way = Way{Way::By::Descriptor, std::move(found), get};
      }
    } else if (dicts == 1) {
      way.by = Way::By::Dict;
    }
    plan.direct = plan.direct || way.by != Way::By::Lookup;
    plan.dict = plan.dict || way.by == Way::By::Dict;
  }
  return plan;
}

Reading::Reading(const Plan& plan, PyObject* cls, std::span<const Object> names, PyObject* value)
    : plan_(plan), names_(names), value_(value) {
  // The class's lookup is asked again here: a __getattribute__ given to it since is honoured.
  direct_ = plan.direct && Py_IS_TYPE(value, reinterpret_cast<PyTypeObject*>(cls)) && generic(cls);
  if (direct_ && plan.dict) {
    dict_ = Object::steal(PyObject_GenericGetDict(value, nullptr));
    if (!dict_) PyErr_Clear();  // the lookup then reads those names and reports what fails
  }
}

Object Reading::slow(std::size_t i) {
  PyObject* name = names_[i].get();
  if (direct_) {
    const Way& way = plan_.ways[i];
    if (way.by == Way::By::Descriptor) {
      return Object::steal(way.get(way.descriptor.get(), value_, reinterpret_cast<PyObject*>(Py_TYPE(value_))));
    }
    if (way.by == Way::By::Dict && dict_) {
      if (PyObject* found = PyDict_GetItemWithError(dict_.get(), name)) return Object::borrow(found);
      if (PyErr_Occurred()) return Object();
      // Not in the __dict__: the class's own attribute, or the lookup's AttributeError.
    }
  }
  return Object::steal(PyObject_GetAttr(value_, name));
}

}  // namespace vorel::py::schema::attributes
