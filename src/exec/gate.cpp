#include "exec/gate.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace vorel::exec {

// The count and the closed mark share one word, so that the last pass out of a closed gate and
// the close of a gate with no pass out cannot both miss the end, nor both see it: exactly one of
// them finds the count at zero with the mark set, and takes the callbacks.
struct Gate::State {
  static constexpr std::uint64_t kClosed = 1;
  static constexpr std::uint64_t kOne = 2;

  std::atomic<std::uint64_t> word{0};
  std::mutex mutex;
  std::vector<std::move_only_function<void()>> on_closed;

  void finish() {
    std::vector<std::move_only_function<void()>> calls;
    {
      std::lock_guard lock(mutex);
      calls.swap(on_closed);
    }
    for (auto& call : calls) call();
  }
};

Gate::Gate() : state_(std::make_shared<State>()) {}

Gate::Pass& Gate::Pass::operator=(Pass&& other) noexcept {
  if (this != &other) {
    leave();
    state_ = std::move(other.state_);
  }
  return *this;
}

void Gate::Pass::leave() {
  auto state = std::move(state_);
  if (!state) return;
  const auto before = state->word.fetch_sub(State::kOne, std::memory_order_acq_rel);
  if (before == (State::kOne | State::kClosed)) state->finish();
}

std::optional<Gate::Pass> Gate::enter() {
  auto word = state_->word.load(std::memory_order_relaxed);
  do {
    if (word & State::kClosed) return std::nullopt;
  } while (!state_->word.compare_exchange_weak(word, word + State::kOne, std::memory_order_acq_rel,
                                               std::memory_order_relaxed));
  return Pass(state_);
}

bool Gate::close(std::move_only_function<void()> closed) {
  // Queued before the mark is set: the pass that finds the end after it will run it.
  if (closed) {
    std::lock_guard lock(state_->mutex);
    state_->on_closed.push_back(std::move(closed));
  }
  const auto before = state_->word.fetch_or(State::kClosed, std::memory_order_acq_rel);
  if (before >= State::kOne) return false;
  state_->finish();
  return true;
}

bool Gate::is_closed() const { return state_->word.load(std::memory_order_acquire) & State::kClosed; }

std::size_t Gate::count() const { return state_->word.load(std::memory_order_acquire) / State::kOne; }

}  // namespace vorel::exec
