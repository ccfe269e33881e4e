// An actor type: the record built once from a decorated body and its options, immutable from
// then on and shared by handle between the Python object that stands for the type, the catalogs
// of the nodes that know it, and the activations of its keys.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/collections/native.hpp"
#include "core/options.hpp"
#include "py/object.hpp"
#include "py/schema/schema.hpp"

namespace vorel::py {

// A state or message schema as the Python `Schema` object that holds it: refs and pending asks keep
// that object, and the types `configured` makes from one another share it.
using Compiled = Object;

// The native collection that runs a type's keys instead of its body: one object per definition,
// shared by the types `configured` makes from it; null for a type whose body runs.
using Native = std::shared_ptr<const core::collections::Native>;

struct Definition {
  std::string name;  // module:qualname of the body
  Object body;
  core::Options options;
  Native native;
  Compiled state;
  Compiled message;
  // The compiled records of the two schemas, which live as long as the objects above.
  const schema::Schema& states() const { return *schema::held(state.get()); }
  const schema::Schema& messages() const { return *schema::held(message.get()); }
  // Present for a DefaultedActor (the object None included), absent for an Actor.
  std::optional<Object> initial;

  // Builds the type from a body; none with the Python exception set.
  static std::optional<Definition> new_(PyObject* body, core::Options options, std::optional<Object> initial);
  // A new Python `DefaultedActor` (with `initial`) or `Actor` holding the definition; null with the
  // error set.
  static Object object(Definition definition);
  // The definition of an `Actor` or `DefaultedActor` (or of a subclass); null with a TypeError
  // set for any other object.
  static std::shared_ptr<const Definition> of(PyObject* object);
  // The same type under another name with other replicas and write level. Checks nothing.
  static Definition configured(const Definition& definition, std::string name, std::uint64_t replicas,
                               core::WriteLevel write);
};

namespace actor {

// The classes, made at their first use and kept (borrowed); null with the error set.
PyObject* actor_type();
PyObject* defaulted_type();

}  // namespace actor
}  // namespace vorel::py
