#include "store/carry.hpp"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>

#include <limits>
#include <utility>
#include <variant>

namespace vorel::store {
namespace {

using Clock = std::chrono::steady_clock;

template <class T>
StoreResult failed(const Result<T>& result) {
  return std::unexpected(result.error().text);
}

core::Bytes bytes_of(const core::store::Version& version) { return core::Bytes(version.begin(), version.end()); }

// The work raced against the deadline, the first to end giving the outcome. When the deadline
// does, the work is dropped where it stands: a write not yet taken into a group is not made, and
// what already ran stays done, since each statement or group commits on its own.
asio::awaitable<StoreResult> limited(Sql& store, const Storing& request, Clock::time_point until) {
  using namespace asio::experimental::awaitable_operators;
  asio::steady_timer timer(co_await asio::this_coro::executor, until);
  // Named before they are awaited on: g++ 12 destroys a temporary of a co_await expression twice.
  auto work = carried(store, request.actor, request.key, request.operation);
  auto passed = timer.async_wait(asio::use_awaitable);
  auto race = std::move(work) || std::move(passed);
  auto first = co_await std::move(race);
  if (first.index() == 0) co_return std::move(std::get<0>(first));
  co_return std::unexpected(core::store::unanswered(request.timeout.as_seconds()));
}

}  // namespace

asio::awaitable<StoreResult> carried(Sql& store, const std::string& actor, const std::string& key,
                                     const core::Storage& request) {
  if (std::holds_alternative<core::Storage::Load>(request.value)) {
    auto found = co_await store.load(actor, key);
    if (!found) co_return failed(found);
    if (!*found) co_return std::nullopt;
    const Record& row = **found;
    std::optional<core::ByteView> state;
    if (row.state) state = core::ByteView(*row.state);
    auto read = core::Stored::read(core::ByteView(row.version), state);
    if (!read) co_return std::unexpected(core::store::unreadable(read.error().text()));
    co_return std::move(*read);
  }
  if (const auto* save = std::get_if<core::Storage::Save>(&request.value)) {
    auto kept = co_await store.save(actor, key, bytes_of(save->record.version_bytes()), save->record.state_bytes());
    if (!kept) co_return failed(kept);
    co_return std::nullopt;
  }
  const auto& drop = std::get<core::Storage::Drop>(request.value);
  auto forgot = co_await store.forget(actor, key, bytes_of(core::store::version_of(drop.stamp)));
  if (!forgot) co_return failed(forgot);
  co_return std::nullopt;
}

std::optional<Clock::time_point> deadline(Clock::time_point now, core::Duration limit) {
  using Nanos = std::chrono::nanoseconds;
  // The nanoseconds left on the clock, counted so that neither the sum nor the conversion of the
  // seconds overflows.
  const auto left = Clock::time_point::max() - now;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left).count();
  if (seconds < 0 || limit.seconds > static_cast<std::uint64_t>(seconds)) return std::nullopt;
  const auto asked =
      std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(limit.seconds) + Nanos(limit.nanos));
  if (asked > left) return std::nullopt;
  return now + asked;
}

asio::awaitable<void> carry(Storing request, std::shared_ptr<Sql> store,
                            [[maybe_unused]] std::shared_ptr<exec::Threads> threads, node::Node node) {
  auto until = deadline(Clock::now(), request.timeout);
  StoreResult outcome;
  if (until) {
    outcome = co_await limited(*store, request, *until);
  } else {
    outcome = co_await carried(*store, request.actor, request.key, request.operation);
  }
  answer(node, request.request, std::move(outcome));
}

void answer(const node::Node& node, std::uint64_t request, StoreResult result) {
  node.ask(node::Ask{node::Ask::Stored{request, std::move(result)}});
}

}  // namespace vorel::store
