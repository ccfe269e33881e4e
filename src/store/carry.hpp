// A joined node's storage requests carried out by the SQL store: on the store's own thread,
// under the request's time limit, answered to the node's event loop as one Ask::Stored each.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "core/backoff.hpp"
#include "core/store.hpp"
#include "exec/threads_asio.hpp"
#include "node/node.hpp"
#include "node/replication/service.hpp"
#include "store/sql.hpp"

namespace vorel::store {

using node::replication::service::StoreResult;
using node::replication::service::Storing;

// The work of one request, without a time limit: the record a load found (none when the key has
// no row), none for a save or a drop, or the failure's text.
asio::awaitable<StoreResult> carried(Sql& store, const std::string& actor, const std::string& key,
                                     const core::Storage& request);

// When a limit taken at `now` runs out; none when the sum is beyond the clock's range.
std::optional<std::chrono::steady_clock::time_point> deadline(std::chrono::steady_clock::time_point now,
                                                              core::Duration limit);

// The task of one request, on the store's runtime (`threads`, which it keeps up until it ends):
// answers `node` exactly once with the outcome, or with the time-limit failure when the limit
// passes first, and then lets go of every handle.
asio::awaitable<void> carry(Storing request, std::shared_ptr<Sql> store, std::shared_ptr<exec::Threads> threads,
                            node::Node node);

// Answers a request at once, never blocking.
void answer(const node::Node& node, std::uint64_t request, StoreResult result);

}  // namespace vorel::store
