// The questions a joined system asks its node's event loop: where a key lives, which keys the
// node's replica keeps, and the state operations of an activation. Each runs as a task on the node
// runtime's threads, which sends one command, awaits its one reply and hands the answer back to
// the loop, where it settles a future the Python side already holds.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/node.hpp"
#include "core/replication/replica.hpp"
#include "node/node.hpp"
#include "py/node/callback.hpp"
#include "py/node/joined.hpp"
#include "py/object.hpp"

namespace vorel::py {

struct Op;

// One answer on its way to the loop; the alternative is the kind of question it answers.
struct Landed {
  struct Activated {
    vorel::node::ActivateResult result;
  };
  struct Done {
    vorel::node::CommitResult result;
  };
  struct Kept {
    std::vector<core::replication::replica::Kept> keys;
  };
  struct Placed {
    vorel::node::Placed placed;
  };
  std::variant<Activated, Done, Kept, Placed> value;

  // Settles the future by the answer, unless its awaiter gave it up; runs on the loop.
  Raised resolve(PyObject* future) const;
};

// What a joined system hands to each of its questions: its cluster side and the node's handle.
// Cheap to copy; each task owns one, so a question in flight keeps both alive until it ends.
struct Entered {
  std::shared_ptr<Joined> joined;
  vorel::node::Node node;

  // Each returns at once; the future, a new reference the task keeps, is settled on the loop. A
  // side whose threads are gone settles it at once, as a node whose loop has ended would.
  void placed(std::string actor, std::string key, Object future) const;
  void stored(Object future) const;
  void persist(std::string actor, std::string key, Op op, Object future) const;
};

// The `vorel.Placement` of an owner (none: no node acts for the key) and the nodes that keep the
// key; null with the error set.
Object located(const std::optional<core::NodeId>& owner, const std::vector<core::NodeId>& nodes);

}  // namespace vorel::py
