// The class SQL: the store of durable records over a SQL database, as an async context manager
// whose calls run on a thread of the store's own and answer on the loop it was entered on.
#pragma once

#include <memory>
#include <optional>

#include "exec/threads.hpp"
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

}  // namespace vorel::py::stores
