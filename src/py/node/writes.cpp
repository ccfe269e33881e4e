// The state of an activation as pages, and the one road every change of it takes: a write hands
// the new pages to the node at once, and its confirmation installs them as the confirmed pages,
// brings the state value up to date and answers the body. Built on it: new values (State.set and
// State.update), deletion, become, and the decoding of a value from its pages.
#include "py/node/activation.hpp"

#include <fmt/format.h>

#include <utility>

#include "core/schedule.hpp"
#include "py/errors.hpp"
#include "py/future.hpp"
#include "py/node.hpp"
#include "py/node/steps.hpp"
#include "py/schema/load.hpp"

namespace vorel::py::activation {
namespace {

namespace ir = core::schema::ir;
using core::activation::kBehavior;
using core::schedule::kPage;

// Puts the reserved pages into pages about to be written: "@behavior" while the definition is not
// the key's own type, "@schedules" while the key has live schedules.
void reserved_into(const Object& self, const Definition& definition, core::Pages& pages) {
  Activation& a = the(self);
  if (definition.name != a.actor) {
    pages.insert_or_assign(std::string(kBehavior), core::Bytes(definition.name.begin(), definition.name.end()));
  }
  auto s = a.state.lock();
  if (auto page = schedules_page(s->schedules)) pages.insert_or_assign(std::string(kPage), *std::move(page));
}

bool refused_after_become(const Object& self) {
  Activation& a = the(self);
  if (!a.state.lock()->becoming) return false;
  PyErr_SetString(PyExc_RuntimeError,
                  fmt::format("{}/{} became another behavior, which owns the state now", a.actor, a.key).c_str());
  return true;
}

// The confirmation of one write: installs what it wrote, answers the writer, and resumes an end
// of the body that waited for it.
// It runs once, so the pages are moved into place: a copy of them would cost as much as the write.
bool confirmed(const Object& self, const Object& future, Wrote& wrote, PyObject* persisted) {
  Activation& a = the(self);
  Object kept;
  Object result = call_method(persisted, "result");
  if (result) {
    Object answer = wrote.answer && wrote.value ? wrote.value : Object::borrow(Py_None);
    Object old_value;
    {
      auto s = a.state.lock();
      s->pages = std::move(wrote.pages);
      if (wrote.delete_ || wrote.value) old_value = std::exchange(s->value, wrote.value);
      s->deleted = wrote.delete_;
      if (wrote.become) s->becoming = true;
    }
    if (!future::resolve(future.get(), answer.get())) kept = Object::steal(PyErr_GetRaisedException());
  } else {
    Object error = Object::steal(PyErr_GetRaisedException());
    // A write that failed is not the key's state: the next write must not build on it.
    {
      auto s = a.state.lock();
      if (core::activation::confirmed(s->unconfirmed).last) s->written = s->pages;
    }
    PyObject* fencing = errors::get(errors::Class::Fencing);
    if (fencing && PyObject_IsInstance(error.get(), fencing) == 1) {
      if (!release(self)) kept = Object::steal(PyErr_GetRaisedException());
    } else {
      if (!future::fail(future.get(), error.get())) kept = Object::steal(PyErr_GetRaisedException());
    }
  }
  std::optional<Object> parked;
  std::uint64_t number = 0;
  {
    auto s = a.state.lock();
    const core::activation::Confirmed confirmed = core::activation::confirmed(s->unconfirmed);
    s->unconfirmed = confirmed.unconfirmed;
    if (confirmed.last && s->run && s->run->parked) {
      parked = std::exchange(s->run->parked, std::nullopt);
      number = s->run->number;
    }
  }
  if (parked && !after(self, number, std::move(*parked))) return false;
  return steps::raise_kept(std::move(kept));
}

bool relay(PyObject* source, PyObject* target) {
  auto d = future::done(target);
  if (!d) return false;
  if (*d) return true;
  Object cancelled = call_method(source, "cancelled");
  if (!cancelled) return false;
  if (PyObject_IsTrue(cancelled.get())) return static_cast<bool>(call_method(target, "cancel"));
  Object result = call_method(source, "result");
  if (result) return static_cast<bool>(call_method(target, "set_result", result.get()));
  Object error = Object::steal(PyErr_GetRaisedException());
  return static_cast<bool>(call_method(target, "set_exception", error.get()));
}

// The raised exception, taken out, fails the future.
bool failed_into(PyObject* future) {
  Object error = Object::steal(PyErr_GetRaisedException());
  return future::fail(future, error.get());
}

}  // namespace

std::optional<core::Pages> pages_of(const Object& self, const Definition& definition, PyObject* value) {
  auto pages = schema::Schema::write_pages(definition.states(), value);
  if (!pages) {
    schema::raise(std::move(pages.error()));
    return std::nullopt;
  }
  reserved_into(self, definition, *pages);
  return *std::move(pages);
}

// A state value read from its pages by a definition's state schema: a fresh object every time, so
// that no two keys share one. Only the pages of the schema are read; reserved ones are passed over.
Object decoded(const Object& self, const Definition& definition, const core::Pages& pages) {
  const schema::Schema& s = definition.states();
  const ir::Index root = s.tree.root;
  const auto* d = s.tree.at(root).as<ir::Node::Dataclass>();
  auto page = [&](const std::string& name) -> const core::Page* {
    auto at = pages.find(name);
    return at == pages.end() ? nullptr : &at->second;
  };
  if (d == nullptr) {
    const core::Page* only = page(".");
    if (only == nullptr) {
      schema::raise(schema::Failure::schema(std::string("missing page '.'")));
      return Object();
    }
    auto value = schema::Schema::read(definition.state.get(), root, *only, the(self).node);
    if (!value) {
      schema::raise(std::move(value.error()));
      return Object();
    }
    return *std::move(value);
  }
  std::vector<Object> values(d->fields.size());
  for (std::size_t i = 0; i < d->fields.size(); ++i) {
    const core::Page* bytes = page(d->fields[i].name);
    if (bytes == nullptr) continue;
    auto value = schema::Schema::read(definition.state.get(), d->fields[i].node, *bytes, the(self).node);
    if (!value) {
      schema::raise(schema::under(std::move(value.error()), d->fields[i].name));
      return Object();
    }
    values[i] = *std::move(value);
  }
  auto built = schema::Loader::build(s, root, values);
  if (!built) {
    schema::raise(std::move(built.error()));
    return Object();
  }
  return *std::move(built);
}

std::string named(const core::Pages& pages, const std::string& actor) {
  auto at = pages.find(std::string(kBehavior));
  if (at == pages.end()) return actor;
  Object text = Object::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(at->second.data()),
                                                   static_cast<Py_ssize_t>(at->second.size()), "replace"));
  auto out = text ? utf8(text.get()) : std::nullopt;
  if (!out) {
    PyErr_Clear();
    return actor;
  }
  return *out;
}

Object value(const Object& self) {
  Activation& a = the(self);
  Object v;
  bool deleted = false;
  {
    auto s = a.state.lock();
    v = s->value;
    deleted = s->deleted;
  }
  if (v) return v;
  if (deleted) {
    PyErr_SetString(PyExc_RuntimeError,
                    fmt::format("the state of {}/{} was deleted, and its type has no default to go on from", a.actor,
                                a.key)
                        .c_str());
  } else {
    PyErr_SetString(PyExc_RuntimeError, "the state is read before the body starts");
  }
  return Object();
}

Object write(const Object& self, Wrote wrote) {
  Activation& a = the(self);
  Object future = a.node->future();
  if (!future) return future;
  Op op;
  {
    auto s = a.state.lock();
    op.kind = wrote.delete_ ? Op::Kind::Delete : Op::Kind::Write;
    op.active = true;
    op.generation = s->generation;
    // Pages share their bytes: neither of these copies them, however large the key's schedules.
    if (!wrote.delete_) op.pages = wrote.pages;
    s->written = wrote.pages;
  }
  Object persisted = a.node->persist(a.actor, a.key, std::move(op));
  if (!persisted) return persisted;
  auto shared = std::make_shared<Wrote>(std::move(wrote));
  if (!steps::when_done(persisted.get(), [self, future, shared](PyObject* finished) {
        return confirmed(self, future, *shared, finished);
      })) {
    return Object();
  }
  ++a.state.lock()->unconfirmed;
  return future;
}

Object stored(const Object& self, PyObject* value, bool answer) {
  if (refused_after_become(self)) return Object();
  std::shared_ptr<const Definition> definition = the(self).state.lock()->definition;
  auto pages = pages_of(self, *definition, value);
  if (!pages) return Object();
  return write(self, Wrote{*std::move(pages), Object::borrow(value), false, answer, false});
}

Object update(const Object& self, PyObject* result) {
  Object inspect = import("inspect");
  if (!inspect) return inspect;
  Object awaitable = call_method(inspect.get(), "isawaitable", result);
  if (!awaitable) return awaitable;
  const int is = PyObject_IsTrue(awaitable.get());
  if (is < 0) return Object();
  if (!is) return stored(self, result, true);
  Object asyncio = import("asyncio");
  if (!asyncio) return asyncio;
  Object task = call_method(asyncio.get(), "ensure_future", result);
  if (!task) return task;
  Object future = the(self).node->future();
  if (!future) return future;
  bool ok = steps::when_done(task.get(), [self, future](PyObject* finished) -> bool {
    Object cancelled = call_method(finished, "cancelled");
    if (!cancelled) return false;
    if (PyObject_IsTrue(cancelled.get())) return relay(finished, future.get());
    auto d = future::done(future.get());
    if (!d) return false;
    if (*d) return static_cast<bool>(call_method(finished, "exception"));
    Object value = call_method(finished, "result");
    if (!value) return failed_into(future.get());
    Object written = stored(self, value.get(), true);
    if (!written) return failed_into(future.get());
    return steps::when_done(written.get(), [future](PyObject* w) { return relay(w, future.get()); });
  });
  if (!ok) return Object();
  ok = steps::when_done(future.get(), [task](PyObject* f) -> bool {
    Object cancelled = call_method(f, "cancelled");
    if (!cancelled) return false;
    return !PyObject_IsTrue(cancelled.get()) || call_method(task.get(), "cancel");
  });
  if (!ok) return Object();
  return future;
}

Object deleted(const Object& self) {
  if (refused_after_become(self)) return Object();
  std::vector<Object> timers;
  {
    auto s = the(self).state.lock();
    timers = unarmed(s->schedules);
    s->schedules.clear();
  }
  if (!cancel_all(timers)) return Object();
  std::shared_ptr<const Definition> definition = the(self).state.lock()->definition;
  Wrote wrote;
  wrote.delete_ = true;
  if (definition->initial) {
    auto pages = pages_of(self, *definition, definition->initial->get());
    if (!pages) return Object();
    // Each key gets a value of its own, read back from the pages: mutating it in place must not
    // change the default of every other key.
    wrote.value = decoded(self, *definition, *pages);
    if (!wrote.value) return Object();
    wrote.pages = *std::move(pages);
  }
  return write(self, std::move(wrote));
}

Object become(const Object& self, PyObject* behavior, PyObject* state) {
  Activation& a = the(self);
  std::shared_ptr<const Definition> definition = Definition::of(behavior);
  if (!definition) return Object();
  a.node->learn(behavior, definition);
  std::optional<core::Pages> pages;
  if (state != nullptr && state != Py_None) {
    pages = pages_of(self, *definition, state);
    if (!pages) return Object();
  } else {
    pages.emplace();
    {
      auto s = a.state.lock();
      for (const auto& [name, bytes] : s->pages) {
        if (name != kBehavior && name != kPage) pages->emplace(name, bytes);
      }
    }
    reserved_into(self, *definition, *pages);
  }
  Wrote wrote;
  wrote.pages = *std::move(pages);
  wrote.become = true;
  return write(self, std::move(wrote));
}

}  // namespace vorel::py::activation
