#include "py/catalog.hpp"

#include <algorithm>

#include "py/node.hpp"
#include "py/node/observe.hpp"

namespace vorel::py {

void Catalog::learn(PyObject* object, const std::shared_ptr<const Definition>& definition) {
  if (types_.contains(definition->name)) return;
  if (missing_.erase(definition->name) != 0) std::erase(missing_order_, definition->name);
  types_.emplace(definition->name, Entry{Object::borrow(object), definition});
}

std::vector<core::Kind> Catalog::kinds() const {
  std::vector<core::Kind> out;
  out.reserve(types_.size());
  for (const auto& [name, entry] : types_) out.push_back(core::Kind::of(name, entry.definition->options));
  return out;
}

Object Catalog::object(std::string_view name) const {
  auto at = types_.find(name);
  return at == types_.end() ? Object() : at->second.object;
}

std::shared_ptr<const Definition> Catalog::definition(std::string_view name) const {
  auto at = types_.find(name);
  return at == types_.end() ? nullptr : at->second.definition;
}

void Catalog::give_up(std::string_view name) {
  if (!missing_.emplace(name).second) return;
  missing_order_.emplace_back(name);
  if (missing_order_.size() > kMissing) {
    missing_.erase(missing_order_.front());
    missing_order_.pop_front();
  }
}

std::vector<std::string> Catalog::missing() const {
  std::vector<std::string> out(missing_.begin(), missing_.end());
  std::ranges::sort(out);
  return out;
}

namespace {

// The object a type name leads to: its module imported, then each part of its qualified name read
// as an attribute in turn. Null with the error set.
Object imported(std::string_view name) {
  const auto colon = name.find(':');
  if (colon == std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, "a type name joins its module and qualified name with a colon");
    return Object();
  }
  Object path = text(name.substr(0, colon));
  if (!path) return path;
  Object at = Object::steal(PyImport_Import(path.get()));
  std::string_view rest = name.substr(colon + 1);
  while (at) {
    const auto dot = rest.find('.');
    Object part = text(rest.substr(0, dot));
    if (!part) return part;
    at = Object::steal(PyObject_GetAttr(at.get(), part.get()));
    if (dot == std::string_view::npos) break;
    rest = rest.substr(dot + 1);
  }
  return at;
}

}  // namespace

void Node::learn(PyObject* object, const std::shared_ptr<const Definition>& definition) {
  catalog.lock()->learn(object, definition);
  // A runtime that starts later gets the kinds of the whole catalog from its start.
  if (auto joined = cluster()) {
    joined->runtime.ask(vorel::node::Ask{vorel::node::Ask::Learn{core::Kind::of(definition->name, definition->options)}});
  }
}

std::shared_ptr<const Definition> Node::resolve(std::string_view name) {
  // A name keeps the first definition learnt under it, so the last one resolved can be given again
  // without a lookup: every ask resolves its type, mostly the one the ask before it did.
  {
    auto last = last_resolved.lock();
    if (*last && (*last)->name == name) return *last;
  }
  std::shared_ptr<const Definition> found;
  {
    auto known = catalog.lock();
    found = known->definition(name);
    if (!found && known->is_missing(name)) return nullptr;
  }
  if (found) {
    std::shared_ptr<const Definition> old = last_resolved.replace(found);
    return found;
  }
  Object object = imported(name);
  std::shared_ptr<const Definition> definition = object ? Definition::of(object.get()) : nullptr;
  // A name that leads to a type registered under another name (an alias) is not that type.
  if (definition && definition->name != name) definition = nullptr;
  if (!definition) {
    PyErr_Clear();
    catalog.lock()->give_up(name);
    if (auto joined = cluster()) joined->runtime.ask(vorel::node::Ask{vorel::node::Ask::GiveUp{std::string(name)}});
    return nullptr;
  }
  learn(object.get(), definition);
  return definition;
}

void Node::dropped(std::string_view actor, std::string_view key, std::string_view reason) {
  Object loop = event_loop.get();
  if (!loop || !(wanted.load(std::memory_order_relaxed) & observe::bit(observe::Event::MessageDropped))) return;
  std::vector<Object> arguments = {text(actor), text(key), text(reason)};
  if (std::ranges::any_of(arguments, [](const Object& o) { return !o; })) {
    PyErr_WriteUnraisable(observer.get());
    return;
  }
  observe::deliver(loop.get(), observer.get(), observe::Event::MessageDropped, arguments);
}

bool Node::subscribe() {
  Object wants = attr(observer.get(), "wants");
  if (!wants) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    wanted.store(0xFFFF);
    return true;
  }
  // The attribute is read again and that value is the one asked: a property may answer anew.
  wants = attr(observer.get(), "wants");
  if (!wants) return false;
  Object vorel = import("vorel");
  if (!vorel) return false;
  std::uint16_t mask = 0;
  for (std::size_t i = 0; i < observe::kNames.size(); ++i) {
    Object cls = attr(vorel.get(), observe::kNames[i]);
    if (!cls) return false;
    Object answer = call(wants.get(), cls.get());
    if (!answer) return false;
    const int truth = PyObject_IsTrue(answer.get());
    if (truth < 0) return false;
    if (truth) mask |= observe::bit(static_cast<observe::Event>(i));
  }
  wanted.store(mask);
  return true;
}

}  // namespace vorel::py
