#include "core/replication/messages.hpp"

namespace vorel::core::replication::messages {

core::Pages tombstone() {
  core::Pages pages;
  pages.emplace(std::string(kDeleted), Bytes{});
  return pages;
}

bool is_tombstone(const core::Pages& pages) { return pages.contains(std::string(kDeleted)); }

bool is_marked(const core::Pages& pages) { return pages.contains(std::string(kActive)); }

const std::string& Request::actor() const {
  return std::visit([](const auto& r) -> const std::string& { return r.actor; }, variant);
}

const std::string& Request::key() const {
  return std::visit([](const auto& r) -> const std::string& { return r.key; }, variant);
}

const NodeId& Request::origin() const {
  struct Origin {
    const NodeId& operator()(const Prepare& r) const { return r.epoch.node; }
    const NodeId& operator()(const Accept& r) const { return r.stamp.epoch.node; }
    const NodeId& operator()(const Fetch& r) const { return r.epoch.node; }
    const NodeId& operator()(const Bury& r) const { return r.node; }
  };
  return std::visit(Origin{}, variant);
}

const std::string& Reply::actor() const {
  return std::visit([](const auto& r) -> const std::string& { return r.actor; }, variant);
}

const std::string& Reply::key() const {
  return std::visit([](const auto& r) -> const std::string& { return r.key; }, variant);
}

}  // namespace vorel::core::replication::messages
