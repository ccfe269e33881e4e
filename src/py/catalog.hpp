// The actor types a node knows by name, and the names it looked for and could not resolve.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/options.hpp"
#include "py/definition.hpp"
#include "py/keyed.hpp"
#include "py/object.hpp"

namespace vorel::py {

// Held behind the node's `catalog` lock; nothing here calls into Python, and what goes in only
// takes references, so the lock is never held across Python code.
class Catalog {
 public:
  struct Entry {
    Object object;  // the Actor or DefaultedActor that stands for the type
    std::shared_ptr<const Definition> definition;
  };

  // The first object and definition learnt under a name stay; learning a name makes it no longer
  // missing.
  void learn(PyObject* object, const std::shared_ptr<const Definition>& definition);
  std::vector<core::Kind> kinds() const;
  // A new reference to the object of the name; null when the name is not known.
  Object object(std::string_view name) const;

  std::shared_ptr<const Definition> definition(std::string_view name) const;
  bool is_missing(std::string_view name) const { return missing_.contains(name); }
  // Remembers a name that failed to resolve. The names come from peers too, so only the latest
  // kMissing are kept: a name forgotten is looked for again if it comes back.
  void give_up(std::string_view name);
  static constexpr std::size_t kMissing = 1024;
  // The names that failed to resolve, in bytewise order.
  std::vector<std::string> missing() const;

 private:
  std::unordered_map<std::string, Entry, Keyed, std::equal_to<>> types_;
  std::unordered_set<std::string, Keyed, std::equal_to<>> missing_;
  // The missing names, oldest first.
  std::deque<std::string> missing_order_;
};

}  // namespace vorel::py
