#include "exec/threads.hpp"

#include <fmt/format.h>

#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "exec/failure.hpp"
#include "exec/gate.hpp"
#include "exec/threads_asio.hpp"

namespace vorel::exec {

// What a task's handle reaches of it: its flags, and for a coroutine the strand it runs on and
// the signal that cancels it, which only that strand touches.
struct Task::Control {
  std::atomic<bool> aborted{false};
  std::atomic<bool> finished{false};
  std::weak_ptr<Threads> threads;

  struct Coroutine {
    explicit Coroutine(asio::strand<asio::io_context::executor_type> s) : strand(std::move(s)) {}
    asio::strand<asio::io_context::executor_type> strand;
    asio::cancellation_signal signal;
  };
  // Owned by the task itself, so that its strand goes with the context and never outlives it.
  std::weak_ptr<Coroutine> coroutine;
};

namespace {

inline constexpr const char kHandlerFailed[] = "an exception escaped a handler on the worker threads";
inline constexpr const char kTaskFailed[] = "a task on the worker threads ended by an exception";

// A task's pass through the pool's gate of live tasks, from its spawn to its end; a task dropped
// unrun leaves when it is destroyed. The task is marked finished before it leaves, so that a
// count of none means that every task has finished.
class Alive {
 public:
  Alive(Gate& live, std::shared_ptr<Task::Control> control) : pass_(live.enter()), control_(std::move(control)) {}
  Alive(Alive&&) = default;
  Alive& operator=(Alive&&) = delete;
  ~Alive() {
    if (!control_) return;
    control_->finished.store(true, std::memory_order_release);
    pass_.reset();
  }
  const Task::Control& control() const { return *control_; }

 private:
  std::optional<Gate::Pass> pass_;
  std::shared_ptr<Task::Control> control_;
};

thread_local const Threads::Impl* current = nullptr;

// Lets a coroutine find the pool that runs it, so that work it hands to other threads can keep
// the pool up until that work has come back.
struct Holder : asio::execution_context::service {
  static asio::execution_context::id id;
  explicit Holder(asio::execution_context& context) : asio::execution_context::service(context) {}
  void shutdown() override {}
  std::weak_ptr<Threads> threads;
};
asio::execution_context::id Holder::id;

}  // namespace

struct Threads::Impl {
  explicit Impl(std::size_t count) : context(static_cast<int>(count)), work(context.get_executor()) {}

  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> work;
  std::vector<std::thread> workers;
  // Never closed: the pool stops when its last holder goes, and nobody is left to spawn then.
  Gate live;

  void run() {
    current = this;
    exec::guarded([this] { context.run(); }, kHandlerFailed);
    current = nullptr;
  }

  void join() {
    for (auto& w : workers)
      if (w.joinable()) w.join();
  }
};

std::expected<std::shared_ptr<Threads>, std::string> Threads::start(std::optional<std::size_t> count) {
  std::size_t n = count.value_or(std::max(1u, std::thread::hardware_concurrency()));
  std::unique_ptr<Impl> impl;
  try {
    impl = std::make_unique<Impl>(n);
    impl->workers.reserve(n);
    for (std::size_t i = 0; i < n; ++i) impl->workers.emplace_back([p = impl.get()] { p->run(); });
  } catch (const std::system_error& e) {
    if (impl) {
      impl->context.stop();
      impl->join();
    }
    return std::unexpected(fmt::format("the transport did not start: {}", e.code().message()));
  }
  std::shared_ptr<Threads> threads(new Threads(std::move(impl)));
  asio::use_service<Holder>(threads->impl_->context).threads = threads;
  return threads;
}

Threads::Threads(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Threads::~Threads() {
  impl_->work.reset();
  impl_->context.stop();
  if (impl_->workers.empty()) return;
  if (!inside()) {
    impl_->join();
    return;
  }
  // The last holder went on one of the workers, which cannot join itself: another thread joins
  // them all (this one leaves its run once the handler in hand returns) and then ends the context.
  auto impl = std::move(impl_);
  try {
    std::thread([impl = std::move(impl)]() mutable {
      impl->join();
      impl.reset();
    }).detach();
  } catch (const std::system_error&) {
    // No thread for the join: the workers are let go, and the context is kept rather than ended
    // under a worker still inside it.
    for (auto& w : impl->workers) w.detach();
    impl.release();
  }
}

Task Threads::spawn(std::move_only_function<void()> work) {
  auto control = std::make_shared<Task::Control>();
  control->threads = weak_from_this();
  asio::post(impl_->context, [alive = Alive(impl_->live, control), work = std::move(work)]() mutable {
    if (alive.control().aborted.load(std::memory_order_acquire)) return;
    exec::guarded(work, kTaskFailed);
  });
  return Task(std::move(control));
}

std::size_t Threads::tasks() const { return impl_->live.count(); }

std::size_t Threads::workers() const { return impl_->workers.size(); }

bool Threads::inside() const { return impl_ && current == impl_.get(); }

void Task::abort() const {
  if (!control_) return;
  control_->aborted.store(true, std::memory_order_release);
  auto threads = control_->threads.lock();
  if (!threads) return;
  if (auto coroutine = control_->coroutine.lock()) {
    asio::post(coroutine->strand, [coroutine] { coroutine->signal.emit(asio::cancellation_type::terminal); });
  }
}

bool Task::finished() const { return !control_ || control_->finished.load(std::memory_order_acquire); }

asio::io_context& context(Threads& threads) { return threads.impl().context; }

Task spawn(Threads& threads, asio::awaitable<void> work) {
  auto& impl = threads.impl();
  auto control = std::make_shared<Task::Control>();
  control->threads = threads.weak_from_this();
  auto coroutine = std::make_shared<Task::Control::Coroutine>(asio::make_strand(impl.context));
  control->coroutine = coroutine;
  auto strand = coroutine->strand;
  auto slot = coroutine->signal.slot();
  auto guarded = [](std::shared_ptr<Task::Control> control, asio::awaitable<void> work) -> asio::awaitable<void> {
    if (control->aborted.load(std::memory_order_acquire)) co_return;
    co_await std::move(work);
  };
  // The completion handler owns the coroutine record: the signal's slot is bound into it, so the
  // signal lives as long as anything that can reach the slot, and goes with the context.
  asio::co_spawn(strand, guarded(control, std::move(work)),
                 asio::bind_cancellation_slot(
                     slot, [alive = Alive(impl.live, control), coroutine = std::move(coroutine)](std::exception_ptr error) {
                       // An aborted coroutine ends by the error of the wait it was in: that is
                       // its way to stop, not a fault.
                       if (error && !exec::cancelled(error)) exec::broken(error, kTaskFailed);
                     }));
  return Task(std::move(control));
}

std::shared_ptr<Threads> holder(asio::execution_context& context) {
  if (!asio::has_service<Holder>(context)) return nullptr;
  return asio::use_service<Holder>(context).threads.lock();
}

}  // namespace vorel::exec
