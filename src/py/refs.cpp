#include "py/refs.hpp"

#include <fmt/format.h>

#include <new>
#include <string>

#include "core/siphash.hpp"
#include "py/generic.hpp"
#include "py/once.hpp"

namespace vorel::py::refs {
namespace {

struct RefObject {
  PyObject_HEAD
  Ref ref;
};

Ref& record(PyObject* self) { return reinterpret_cast<RefObject*>(self)->ref; }

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(record(self).schema.get());
  return 0;
}

int clear(PyObject* self) {
  record(self).schema = Object();
  return 0;
}

void dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  record(self).~Ref();
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free(self);
  Py_DECREF(tp);
}

PyObject* repr(PyObject* self) {
  const std::optional<core::Target>& target = record(self).target;
  std::string text;
  if (!target) {
    text = "Ref(nobody)";
  } else if (const auto* e = target->as_entity()) {
    text = fmt::format("Ref({}/{})", e->actor, e->key);
  } else {
    const auto* r = target->as_reply();
    text = fmt::format("Ref(reply {} to {})", r->id, r->node.address ? *r->node.address : std::string("local"));
  }
  return py::text(text).release();
}

PyObject* compare(PyObject* a, PyObject* b, int op) {
  const Ref* left = of(a);
  const Ref* right = of(b);
  if ((op != Py_EQ && op != Py_NE) || left == nullptr || right == nullptr) Py_RETURN_NOTIMPLEMENTED;
  const bool equal = left->target == right->target;
  return PyBool_FromLong((op == Py_EQ) == equal);
}

Py_hash_t hash_of(PyObject* self) { return static_cast<Py_hash_t>(hash(record(self).target)); }

PyObject* class_getitem(PyObject* cls, PyObject* item) {
  return generic::aliased(cls, generic::subscript(item)).release();
}

PyMethodDef methods[] = {
    {"__class_getitem__", class_getitem, METH_O | METH_CLASS, "__class_getitem__($cls, item)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kDoc[] =
    "A ref created by a system, which is the only kind that can be serialized.\n\n"
    "Two refs to the same target are equal: what a ref carries besides it is the way to reach it from here. The "
    "schema\nit holds is the one its messages are written with, and `messages` is the node of that tree they travel "
    "as.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(compare)},
    {Py_tp_hash, reinterpret_cast<void*>(hash_of)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "vorel._vorel.Ref",
    sizeof(RefObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

Once cell;

}  // namespace

PyObject* type() {
  return cell.get([] { return PyType_FromSpec(&spec); });
}

const Ref* of(PyObject* o) {
  PyObject* t = type();
  if (t == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(t)) ? &record(o) : nullptr;
}

Object make(Ref ref) {
  PyObject* t = type();
  if (t == nullptr) return Object();
  auto* tp = reinterpret_cast<PyTypeObject*>(t);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  Object self = Object::steal(alloc(tp, 0));
  if (!self) return self;
  new (&record(self.get())) Ref(std::move(ref));
  return self;
}

std::int64_t hash(const std::optional<core::Target>& target) {
  core::SipHasher h = core::SipHasher::sip13();
  h.write_u64(target ? 1 : 0);
  if (target) core::feed(h, *target);
  const auto digest = static_cast<std::int64_t>(h.finish());
  return digest == -1 ? -2 : digest;
}

}  // namespace vorel::py::refs
