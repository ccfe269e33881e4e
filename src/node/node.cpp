#include "node/node.hpp"

#include <fmt/format.h>

#include "node/reach.hpp"

namespace vorel::node {

std::string too_large(const core::Command& command, std::uint64_t size, std::uint64_t limit) {
  return std::visit(
      [&](const auto& c) {
        const bool start = std::is_same_v<std::decay_t<decltype(c)>, core::Start>;
        return fmt::format("{} {}/{} takes {} bytes between two nodes, over limits.message of {}",
                           start ? "the initial state of" : "the message to", c.actor, c.key, size, limit);
      },
      command);
}

std::string answer_too_large(std::uint64_t size, std::uint64_t limit) {
  return fmt::format("the answer takes {} bytes between two nodes, over limits.message of {}", size, limit);
}

void Node::ask(Ask ask) const {
  reach_->door->send(std::move(ask));
}

std::expected<void, std::string> Node::route(core::Command command) const {
  const auto size = core::routing::wire::routed_size(command, reach_->id);
  if (size > reach_->message) return std::unexpected(too_large(command, size, reach_->message));
  ask(Ask{Ask::Route{std::move(command)}});
  return {};
}

std::expected<void, std::string> Node::start(std::string actor, std::string key,
                                             std::optional<core::Bytes> state) const {
  return route(core::Start{std::move(actor), std::move(key), std::move(state)});
}

std::expected<void, std::string> Node::deliver(std::string actor, std::string key, core::Bytes message,
                                               std::optional<core::Target> reply, core::Chain chain) const {
  return route(core::Deliver{std::move(actor), std::move(key), std::move(message), std::move(reply), std::move(chain)});
}

void Node::answer(core::Target target, core::Outcome outcome) const {
  if (const auto* reply = target.as_reply()) {
    const auto size = core::routing::wire::answer_size(reply->id, outcome);
    if (size > reach_->message) outcome = core::Outcome{core::Outcome::TooLarge{answer_too_large(size, reach_->message)}};
  }
  ask(Ask{Ask::Answer{std::move(target), std::move(outcome)}});
}

void Node::cancel(std::string actor, std::string key, core::Target request) const {
  ask(Ask{Ask::Cancel{core::routing::wire::Cancel{std::move(actor), std::move(key), std::move(request)}}});
}

void Node::release(std::string actor, std::string key, std::uint64_t generation) const {
  ask(Ask{Ask::Release{std::move(actor), std::move(key), generation}});
}

void Node::attached(std::string actor, std::string key) const {
  ask(Ask{Ask::Attached{std::move(actor), std::move(key)}});
}

void Node::detached(std::string actor, std::string key) const {
  ask(Ask{Ask::Detached{std::move(actor), std::move(key)}});
}

std::vector<core::membership::Member> Node::members() const { return reach_->members.get(); }

namespace {

// The command goes out at once, with the sending end of a fresh reply channel; the awaitable
// owns the receiving end, so it may be awaited after the caller's arguments are gone.
template <class T>
asio::awaitable<std::optional<T>> answered(oneshot::Receiver<T> receiver) {
  co_return co_await receiver.receive();
}

template <class T, class Make>
asio::awaitable<std::optional<T>> query(const Node& node, Make make) {
  auto [answer, receiver] = oneshot::channel<T>();
  node.ask(make(std::move(answer)));
  return answered(std::move(receiver));
}

}  // namespace

asio::awaitable<std::optional<ActivateResult>> Node::activate(std::string actor, std::string key,
                                                              std::optional<core::Pages> initial) const {
  return query<ActivateResult>(*this, [&](oneshot::Sender<ActivateResult> answer) {
    return Ask{Ask::Activate{std::move(actor), std::move(key), std::move(initial), std::move(answer)}};
  });
}

asio::awaitable<std::optional<CommitResult>> Node::commit(std::string actor, std::string key,
                                                          std::uint64_t generation, core::Pages pages,
                                                          bool active) const {
  return query<CommitResult>(*this, [&](oneshot::Sender<CommitResult> answer) {
    return Ask{Ask::Commit{std::move(actor), std::move(key), generation, std::move(pages), active, std::move(answer)}};
  });
}

asio::awaitable<std::optional<CommitResult>> Node::delete_(std::string actor, std::string key,
                                                           std::uint64_t generation, bool active) const {
  return query<CommitResult>(*this, [&](oneshot::Sender<CommitResult> answer) {
    return Ask{Ask::Delete{std::move(actor), std::move(key), generation, active, std::move(answer)}};
  });
}

asio::awaitable<std::optional<Placed>> Node::placed(std::string actor, std::string key) const {
  return query<Placed>(*this, [&](oneshot::Sender<Placed> answer) {
    return Ask{Ask::Placed{std::move(actor), std::move(key), std::move(answer)}};
  });
}

asio::awaitable<std::optional<std::vector<core::replication::replica::Kept>>> Node::stored() const {
  using Kept = std::vector<core::replication::replica::Kept>;
  return query<Kept>(*this, [](oneshot::Sender<Kept> answer) { return Ask{Ask::Kept{std::move(answer)}}; });
}

const core::NodeId& Node::id() const { return reach_->id; }
const std::shared_ptr<net::Pool>& Node::pool() const { return reach_->pool; }
const std::shared_ptr<replication::service::Written>& Node::written() const { return reach_->written; }
std::uint64_t Node::message() const { return reach_->message; }

}  // namespace vorel::node
