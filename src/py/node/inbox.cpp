#include "py/node/inbox.hpp"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "py/node/body.hpp"

namespace vorel::py::inbox {
namespace {

constexpr const char kFailedCall[] = "Exception in a call the transport of vorel handed to the loop";
constexpr Py_ssize_t kReadAtMost = 64;

// What one read of the socket says: a wake-up, or the end of the channel.
bool ended(const Object& got) { return got && PyBytes_Check(got.get()) && PyBytes_Size(got.get()) == 0; }

Reader& record(PyObject* self) { return body::record<Reader>(self); }

PyObject* invoke(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (PyTuple_Size(args) != 0 || (kwargs != nullptr && PyDict_Size(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "Reader() takes no arguments");
    return nullptr;
  }
  // Unregistering drops the loop's handle on this Reader while it runs.
  Object keep = Object::borrow(self);
  return record(self).woken();
}

constexpr const char kDoc[] = "The end of an inbox on the loop, which runs the queue each time the socket wakes it.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(body::dealloc<Reader>)},
    {Py_tp_call, reinterpret_cast<void*>(invoke)},
    {0, nullptr},
};

PyType_Spec spec = {
    "vorel._vorel.Reader",
    sizeof(body::Of<Reader>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

body::Type<Reader> kind(spec);

Object make_reader(std::shared_ptr<Pending> pending, Object sock) { return kind.make(std::move(pending), std::move(sock)); }

// Closes a Python socket on a failure path, keeping the failure that is being raised.
void close_keeping_error(PyObject* sock) {
  Object failure = Object::steal(PyErr_GetRaisedException());
  if (!call_method(sock, "close")) PyErr_Clear();
  PyErr_SetRaisedException(failure.release());
}

}  // namespace

Bell::~Bell() { ::close(fd_); }

void Bell::ring(Call call) {
  Call refused;
  bool wake = false;
  {
    std::lock_guard lock(pending_->mutex);
    if (pending_->closed) {
      refused = std::move(call);
    } else {
      pending_->calls.push_back(std::move(call));
      wake = !std::exchange(pending_->rung, true);
    }
  }
  if (!wake) return;
  // Sent after unlocking. A full buffer (EAGAIN) already holds unread wake bytes, and a closed
  // reading end means nobody runs the queue any more: either way there is nothing to do. No
  // signal: a peer that has gone must not kill a process that does not ignore SIGPIPE.
  const char byte = 0;
  if (::send(fd_, &byte, 1, MSG_NOSIGNAL) == 1) wakes_.fetch_add(1, std::memory_order_relaxed);
}

Reader::~Reader() {
  // Nobody can run the queue once the loop has let go of its Reader: what is still queued is
  // released here, with the interpreter lock, and later calls are refused by the Bell.
  std::vector<Call> dropped;
  {
    std::lock_guard lock(pending_->mutex);
    pending_->closed = true;
    dropped.swap(pending_->calls);
  }
  dropped.clear();
  if (sock_) close_keeping_error(sock_.get());
}

void Reader::run(PyObject* loop, bool last) {
  std::vector<Call> calls;
  {
    std::lock_guard lock(pending_->mutex);
    pending_->rung = false;
    if (last) pending_->closed = true;
    calls.swap(pending_->calls);
  }
  // Without the lock: a call may ring again, and runs in the next pass after a new wake byte.
  Token token = Token::assume();
  for (Call& call : calls) {
    Raised failed = call(token);
    if (!failed && PyErr_Occurred()) failed = caught();
    call = nullptr;
    if (failed) callback::report(loop, kFailedCall, std::move(*failed));
  }
}

PyObject* Reader::woken() {
  // The read comes before the take: a push landing between them finds `rung` still set and is
  // run by this take; a push after the take writes a new byte.
  Object size = Object::steal(PyLong_FromSsize_t(kReadAtMost));
  Object got = size ? call_method(sock_.get(), "recv", size.get()) : Object();
  bool end = ended(got);
  if (!got) {
    Object exception = Object::steal(PyErr_GetRaisedException());
    end = !PyErr_GivenExceptionMatches(exception.get(), PyExc_BlockingIOError);
  }
  Object loop = current_loop();
  if (!loop) return nullptr;
  run(loop.get(), end);
  if (!end) Py_RETURN_NONE;
  Object removed = call_method(loop.get(), "remove_reader", sock_.get());
  Raised failed = removed ? std::nullopt : caught();
  Object closed = call_method(sock_.get(), "close");
  if (!closed && !failed) failed = caught();
  PyErr_Clear();
  if (failed) return rethrow(std::move(*failed));
  Py_RETURN_NONE;
}

Raised Reader::receive(PyObject* reader, PyObject* loop) {
  Object size = Object::steal(PyLong_FromSsize_t(kReadAtMost));
  if (!size) return caught();
  Object coro = call_method(loop, "sock_recv", record(reader).sock_.get(), size.get());
  if (!coro) return caught();
  Object task = call_method(loop, "create_task", coro.get());
  if (!task) {
    Raised failed = caught();
    if (!call_method(coro.get(), "close")) PyErr_Clear();  // never awaited: no warning about it
    return failed;
  }
  return callback::when_done(task.get(), [reader = Object::borrow(reader)](Token, PyObject* done) {
    return received(reader.get(), done);
  });
}

Raised Reader::received(PyObject* reader, PyObject* task) {
  Reader& r = record(reader);
  // A failed or cancelled read ends the channel as the end of the stream does.
  Object got = call_method(task, "result");
  const bool end = !got || ended(got);
  PyErr_Clear();
  Object loop = current_loop();
  if (!loop) return caught();
  r.run(loop.get(), end);
  if (!end) return receive(reader, loop.get());
  if (!call_method(r.sock_.get(), "close")) return caught();
  return std::nullopt;
}

Object current_loop() {
  Object asyncio = loaded("asyncio");
  if (!asyncio) return asyncio;
  return call_method(asyncio.get(), "get_running_loop");
}

std::optional<Inbox> Inbox::open(PyObject* loop) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return std::nullopt;
  }
  const int writing = fds[0];
  int on = 1;
  if (::ioctl(writing, FIONBIO, &on) != 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    ::close(fds[0]);
    ::close(fds[1]);
    return std::nullopt;
  }
  Object socket = import("socket");
  Object cls = socket ? attr(socket.get(), "socket") : Object();
  Object no_args = Object::steal(PyTuple_New(0));
  Object fileno = Object::steal(Py_BuildValue("{s:i}", "fileno", fds[1]));
  Object sock = cls && no_args && fileno ? Object::steal(PyObject_Call(cls.get(), no_args.get(), fileno.get()))
                                         : Object();
  if (!sock) {
    ::close(fds[0]);
    ::close(fds[1]);
    return std::nullopt;
  }
  // From here on the Python socket owns the reading end.
  auto fail = [&] {
    ::close(writing);
    close_keeping_error(sock.get());
    return std::nullopt;
  };
  if (!call_method(sock.get(), "setblocking", Py_False)) return fail();
  auto pending = std::make_shared<Pending>();
  Object reader = make_reader(pending, sock);
  if (!reader) return fail();
  if (!call_method(loop, "add_reader", sock.get(), reader.get())) {
    if (!PyErr_ExceptionMatches(PyExc_NotImplementedError)) return fail();
    PyErr_Clear();
    if (Raised failed = Reader::receive(reader.get(), loop)) {
      PyErr_SetRaisedException(failed->release());
      return fail();
    }
  }
  return Inbox(std::make_shared<Bell>(std::move(pending), writing));
}

}  // namespace vorel::py::inbox
