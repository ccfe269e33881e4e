// The loop channel: how threads other than the loop's (the node runtime's, the store's) hand
// calls to one asyncio loop. Producers queue boxed calls on the `Bell`; the first call after a
// drain writes one byte to a socket pair whose reading end the loop watches, and the `Reader`
// then runs the whole queue in push order on the loop thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "py/node/callback.hpp"

namespace vorel::py::inbox {

// A call for the loop. It is made on a producer's thread and may be destroyed on any thread
// without the interpreter lock, so it holds Python references only as `Carried`.
using Call = std::move_only_function<Raised(Token)>;

// The queue, shared by the Bell and the Reader.
struct Pending {
  std::mutex mutex;
  std::vector<Call> calls;
  // Set by the push that wrote the wake byte, cleared by the Reader's take. While set, a wake
  // byte written after the last take is unread or being read, so the queue will run again.
  bool rung = false;
  // Set once nobody will run the queue any more (the Reader ended or went); later calls are
  // dropped at once instead of piling up behind a producer that outlives the loop.
  bool closed = false;
};

// The producer end, shared by every producer of one channel. Closing the writing end (when the
// last holder lets go) is what tells the Reader that the channel has ended.
class Bell {
 public:
  Bell(std::shared_ptr<Pending> pending, int fd) : pending_(std::move(pending)), fd_(fd) {}
  ~Bell();
  Bell(const Bell&) = delete;
  Bell& operator=(const Bell&) = delete;

  // Queues the call and wakes the loop when the queue was drained. From any thread, with or
  // without the interpreter lock; never blocks, never fails, makes no Python call.
  void ring(Call call);
  // How many wake bytes went out.
  std::uint64_t wakes() const { return wakes_.load(std::memory_order_relaxed); }

 private:
  std::shared_ptr<Pending> pending_;
  int fd_;
  std::atomic<std::uint64_t> wakes_{0};
};

// The end of the channel on the loop (the record of the Python class "Reader"). Used on the
// loop thread only.
class Reader {
 public:
  Reader(std::shared_ptr<Pending> pending, Object sock) : pending_(std::move(pending)), sock_(std::move(sock)) {}
  ~Reader();

  // Takes the queue and runs it in push order. `last` closes the queue in the same take.
  void run(PyObject* loop, bool last);
  // Starts one background read of the socket, for loops without readers; `reader` is the Python
  // object of this record, which the read keeps alive.
  static Raised receive(PyObject* reader, PyObject* loop);
  // One wake-up by the loop's reader callback.
  PyObject* woken();

 private:
  // The done callback of a background read.
  static Raised received(PyObject* reader, PyObject* task);

  std::shared_ptr<Pending> pending_;
  Object sock_;
};

// The running loop (`asyncio.get_running_loop()`), or null with the error set.
Object current_loop();

// A shared handle on one channel's Bell: whoever keeps it keeps the channel open.
class Inbox {
 public:
  // Opens a channel on the given loop (on the loop thread); none with the error set.
  static std::optional<Inbox> open(PyObject* loop);

  void ring(Call call) const { bell_->ring(std::move(call)); }
  const std::shared_ptr<Bell>& bell() const { return bell_; }

 private:
  explicit Inbox(std::shared_ptr<Bell> bell) : bell_(std::move(bell)) {}
  std::shared_ptr<Bell> bell_;
};

}  // namespace vorel::py::inbox
