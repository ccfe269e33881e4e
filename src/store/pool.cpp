#include "store/pool.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "exec/gate.hpp"

namespace vorel::store {

using Clock = std::chrono::steady_clock;

namespace {

// One connection and its thread. Its fields are guarded by the pool's mutex.
struct Worker {
  std::condition_variable wake;
  std::optional<Pool::Job> job;
  bool stop = false;
  Clock::time_point born{};
  Clock::time_point idle_since{};
};

}  // namespace

// Everything the pool's threads share. They hold it by handle, so that it outlives the Pool that
// lets it go while connections are still in use; every thread ends once the pool is closed.
struct Pool::Shared : std::enable_shared_from_this<Pool::Shared> {
  Shared(std::shared_ptr<const Driver> d, PoolSettings s) : driver(std::move(d)), settings(s) {}

  std::shared_ptr<const Driver> driver;
  PoolSettings settings;

  mutable std::mutex mutex;
  struct Waiting {
    Job job;
    Clock::time_point deadline;
  };
  std::deque<Waiting> queue;
  std::vector<std::shared_ptr<Worker>> idle;  // the most recently used last
  std::size_t size = 0;        // connections open or being opened
  std::size_t connecting = 0;  // of which are being opened
  bool closed = false;
  // Each connection, from the moment it is counted in `size` until it is closed, holds a pass:
  // a close is answered once none is out.
  exec::Gate connections;
  bool warden = false;
  std::condition_variable warden_wake;

  // Hands queued jobs to idle connections, and counts in the connections to open for the rest.
  std::vector<exec::Gate::Pass> dispatch() {
    while (!queue.empty() && !idle.empty()) {
      auto w = std::move(idle.back());
      idle.pop_back();
      w->job = std::move(queue.front().job);
      queue.pop_front();
      w->wake.notify_one();
    }
    std::vector<exec::Gate::Pass> open;
    while (!closed && queue.size() > connecting && size < settings.most) {
      auto pass = connections.enter();
      if (!pass) break;
      ++size;
      ++connecting;
      open.push_back(std::move(*pass));
    }
    return open;
  }

  void start(std::vector<exec::Gate::Pass> open, bool need_warden) {
    auto self = shared_from_this();
    if (need_warden) {
      try {
        std::thread([self] { self->guard(); }).detach();
      } catch (const std::system_error&) {
        std::unique_lock lock(mutex);
        warden = false;
      }
    }
    for (auto& pass : open) {
      // The pass leaves with the thread, once its connection is closed.
      try {
        std::thread([self, w = std::make_shared<Worker>(), pass = std::move(pass)] { self->serve(w); }).detach();
      } catch (const std::system_error& e) {
        lost(Error::no_thread(e.code().message()));
      }
    }
  }

  // A connection that was being opened is not there: the first waiting job gets the reason.
  void lost(Error error) {
    std::optional<Job> failed;
    std::vector<exec::Gate::Pass> open;
    {
      std::unique_lock lock(mutex);
      --connecting;
      --size;
      if (!queue.empty()) {
        failed = std::move(queue.front().job);
        queue.pop_front();
      }
      open = dispatch();
    }
    if (failed) failed->run(std::unexpected(std::move(error)));
    start(std::move(open), false);
  }

  // The next job for a worker, waiting as an idle connection until there is one; none once the
  // worker is to close its connection.
  std::optional<Job> take(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Worker>& w) {
    for (;;) {
      // A job handed to this connection before the close holds it already: it runs, as the
      // close waits for the connections in use. Dropped here, its caller would hear that it was
      // given up, which it never was.
      if (w->job) return std::exchange(w->job, std::nullopt);
      if (w->stop || closed) return std::nullopt;
      if (!queue.empty()) {
        Job job = std::move(queue.front().job);
        queue.pop_front();
        return job;
      }
      w->idle_since = Clock::now();
      idle.push_back(w);
      w->wake.wait(lock, [&] { return w->job || w->stop; });
    }
  }

  void serve(std::shared_ptr<Worker> w) {
    auto opened = driver->connect();
    if (!opened) return lost(std::move(opened.error()));
    std::unique_ptr<Connection> connection = std::move(*opened);
    {
      std::lock_guard lock(mutex);
      --connecting;
      w->born = Clock::now();
    }
    for (;;) {
      std::unique_lock lock(mutex);
      auto job = take(lock, w);
      if (!job) break;
      Clock::time_point born = w->born, idle_since = w->idle_since;
      lock.unlock();
      if (job->wanted && !job->wanted()) {
        job->run(std::unexpected(Error::dropped()));
        continue;
      }
      // A connection is looked at before it is handed out, and replaced when it is too old, was
      // idle too long or was closed by the server.
      auto now = Clock::now();
      bool stale = now - born >= settings.lifetime || (idle_since != Clock::time_point{} && now - idle_since >= settings.idle);
      if (!connection || stale || !connection->usable()) {
        connection.reset();
        auto again = driver->connect();
        if (!again) {
          job->run(std::unexpected(std::move(again.error())));
          break;
        }
        connection = std::move(*again);
        std::lock_guard relock(mutex);
        w->born = Clock::now();
      }
      job->run(connection.get());
      job.reset();
      {
        std::lock_guard relock(mutex);
        w->idle_since = Clock::time_point{};
      }
    }
    connection.reset();
    std::vector<exec::Gate::Pass> open;
    {
      std::lock_guard lock(mutex);
      --size;
      open = dispatch();
    }
    start(std::move(open), false);
  }

  // Fails the jobs that waited too long for a connection and closes connections idle or open for
  // too long; runs until the pool is closed.
  void guard() {
    std::unique_lock lock(mutex);
    while (!closed) {
      auto now = Clock::now();
      std::vector<Job> late;
      while (!queue.empty() && queue.front().deadline <= now) {
        late.push_back(std::move(queue.front().job));
        queue.pop_front();
      }
      Clock::time_point next = Clock::time_point::max();
      if (!queue.empty()) next = queue.front().deadline;
      for (auto it = idle.begin(); it != idle.end();) {
        auto& w = *it;
        auto until = std::min(w->idle_since + settings.idle, w->born + settings.lifetime);
        if (until <= now) {
          w->stop = true;
          w->wake.notify_one();
          it = idle.erase(it);
        } else {
          next = std::min(next, until);
          ++it;
        }
      }
      if (!late.empty()) {
        lock.unlock();
        for (auto& job : late) job.run(std::unexpected(Error::timed_out()));
        late.clear();
        lock.lock();
        continue;
      }
      if (next == Clock::time_point::max()) {
        warden_wake.wait(lock);
      } else {
        warden_wake.wait_until(lock, next);
      }
    }
  }

  void shut(std::move_only_function<void()> callback) {
    std::deque<Waiting> failed;
    {
      std::lock_guard lock(mutex);
      closed = true;
      failed = std::move(queue);
      queue.clear();
      for (auto& w : idle) {
        w->stop = true;
        w->wake.notify_one();
      }
      idle.clear();
      warden_wake.notify_all();
    }
    for (auto& waiting : failed) waiting.job.run(std::unexpected(Error::closed()));
    connections.close(std::move(callback));
  }
};

Pool::Pool(std::shared_ptr<const Driver> driver, PoolSettings settings)
    : shared_(std::make_shared<Shared>(std::move(driver), settings)) {}

Pool::~Pool() { shared_->shut(nullptr); }

void Pool::submit(Job job) {
  std::vector<exec::Gate::Pass> open;
  bool need_warden = false;
  bool refused = false;
  {
    std::lock_guard lock(shared_->mutex);
    refused = shared_->closed;
    if (!refused) {
      shared_->queue.push_back({std::move(job), Clock::now() + shared_->settings.acquire});
      open = shared_->dispatch();
      need_warden = !std::exchange(shared_->warden, true);
      shared_->warden_wake.notify_all();
    }
  }
  if (!refused) return shared_->start(std::move(open), need_warden);
  job.run(std::unexpected(Error::closed()));
}

void Pool::close(std::move_only_function<void()> closed) { shared_->shut(std::move(closed)); }

std::size_t Pool::size() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->size;
}

}  // namespace vorel::store
