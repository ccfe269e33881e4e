// A database for the store's tests that runs its statements only while the test lets it, keeps
// a log of them and answers as told.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "store/driver.hpp"

namespace vorel::store::testing {

struct Fake {
  std::mutex m;
  std::condition_variable cv;
  // The statements that wait until the test lets them go on.
  std::function<bool(const std::string&)> holding;
  int running = 0, most = 0, opened = 0;
  bool usable = true;
  std::string backend = "SQLite";
  std::function<Result<Outcome>(const std::string&, std::span<const Param>)> answer =
      [](const std::string&, std::span<const Param>) { return Outcome{}; };
  // Every statement run, with its values, in the order in which they ran.
  std::vector<std::pair<std::string, std::vector<Param>>> log;

  void hold() { hold_at([](const std::string&) { return true; }); }
  void hold_at(std::function<bool(const std::string&)> which) {
    std::lock_guard l(m);
    holding = std::move(which);
    cv.notify_all();
  }
  void release() { hold_at(nullptr); }
  bool wait_running(int n) {
    std::unique_lock l(m);
    return cv.wait_for(l, std::chrono::seconds(20), [&] { return running >= n; });
  }
};

class FakeConnection final : public Connection {
 public:
  explicit FakeConnection(std::shared_ptr<Fake> fake) : fake_(std::move(fake)) {}
  std::string_view backend() const override { return fake_->backend; }
  bool usable() override {
    std::lock_guard l(fake_->m);
    return fake_->usable;
  }
  Result<Outcome> run(const std::string& sql, std::span<const Param> params, std::size_t) override {
    std::unique_lock l(fake_->m);
    ++fake_->running;
    fake_->most = std::max(fake_->most, fake_->running);
    fake_->cv.notify_all();
    // A test that fails before it lets its statements go lets them go after the bound.
    fake_->cv.wait_for(l, std::chrono::seconds(60), [&] { return !fake_->holding || !fake_->holding(sql); });
    --fake_->running;
    fake_->log.emplace_back(sql, std::vector<Param>(params.begin(), params.end()));
    auto answer = fake_->answer;
    l.unlock();
    return answer(sql, params);
  }

 private:
  std::shared_ptr<Fake> fake_;
};

class FakeDriver final : public Driver {
 public:
  explicit FakeDriver(std::shared_ptr<Fake> fake) : fake_(std::move(fake)) {}
  Result<std::unique_ptr<Connection>> connect() const override {
    std::lock_guard l(fake_->m);
    ++fake_->opened;
    return std::make_unique<FakeConnection>(fake_);
  }

 private:
  std::shared_ptr<Fake> fake_;
};

}  // namespace vorel::store::testing
