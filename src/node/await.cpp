#include "node/await.hpp"

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace vorel::node {

void Bell::ring() { permit_.ring(); }

asio::awaitable<void> Bell::wait(std::optional<Instant> until) {
  auto timer = std::make_shared<asio::steady_timer>(co_await asio::this_coro::executor);
  timer->expires_at(until ? *until : Instant::max());
  // The timer is cancelled on its own executor: a ring may come from any thread, and the waiting
  // task may be resuming on another one at that moment.
  if (permit_.take_or_wait([timer] { asio::post(timer->get_executor(), [timer] { timer->cancel(); }); })) co_return;
  // Cleared however the wait ends, even when the task's frame is destroyed without resuming.
  struct Clear {
    net::Permit& permit;
    ~Clear() { permit.forget(); }
  } clear{permit_};
  std::error_code ec;
  co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
  // A cancellation of the task itself also ends the timer's wait: the task ends here.
  asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none) asio::detail::throw_error(asio::error::operation_aborted);
}

}  // namespace vorel::node
