// The class SQL: the store of durable records over a SQL database, as an async context manager
// whose calls run on a thread of the store's own and answer on the loop it was entered on.
#pragma once

#include <memory>
#include <optional>

#include "exec/threads.hpp"
#include "node/node.hpp"
#include "node/replication/service.hpp"
#include "py/node/inbox.hpp"
#include "py/object.hpp"
#include "store/sql.hpp"

namespace vorel::py::stores {

// What one entering of an SQL object holds while it is open.
struct Open {
  std::shared_ptr<store::Sql> store;
  std::shared_ptr<exec::Threads> threads;
  std::shared_ptr<inbox::Bell> bell;
  // The loop the store was entered on: the one loop whose calls it answers.
  Object loop;
};

// The class object (borrowed, kept for the life of the process), or null with the error set.
PyObject* type();

// A load's answer as Python sees it: None, or (version, state) with None for a record without
// state. Null with the error set.
Object record(const std::optional<store::Record>& found);

// What a joined node keeps of its system's SQL object to reach the store from the node runtime's
// threads, without the interpreter lock.
class Carrier;

// The carrier of an SQL object (of the class or a subclass); null, with no error set, for any other
// object. On the loop thread.
std::shared_ptr<Carrier> carrier(PyObject* object);

// Carries out a joined node's storage request and answers it exactly once with Ask::Stored through
// `node`: on the store's own thread while the store is open, at once with "the store is not open:
// use it inside async with" otherwise. From any thread, without the interpreter lock; never blocks.
void carry(const Carrier& carrier, const vorel::node::Node& node,
           vorel::node::replication::service::Storing request);

}  // namespace vorel::py::stores
