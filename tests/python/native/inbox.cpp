// Test hooks of the loop channel: a channel opened on the running loop, whose Bell a test rings
// from the loop thread or from native threads that never take the interpreter lock, and the
// loop's callbacks over Python functions.
#include "inbox_hooks.hpp"

#include <future>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "py/node/body.hpp"
#include "py/node/callback.hpp"
#include "py/node/inbox.hpp"
#include "py/once.hpp"

namespace vorel::py::testing {
namespace {

using inbox::Bell;

struct Channel {
  std::shared_ptr<Bell> bell;   // none once the test let it go
  std::weak_ptr<Bell> watched;  // to read the wake count while threads hold the Bell
  std::vector<std::thread> threads;
  std::optional<std::promise<void>> gate;  // deferred threads start ringing when it opens
};

Channel& record(PyObject* self) { return body::record<Channel>(self); }

// Threads that drop the last Carried take the interpreter lock: join them without it.
void join(Channel& c) {
  if (c.gate) c.gate->set_value();
  c.gate.reset();
  std::vector<std::thread> threads = std::move(c.threads);
  c.threads.clear();
  Unlocked unlocked;
  for (std::thread& t : threads) t.join();
}

void dealloc(PyObject* self) {
  join(record(self));
  body::dealloc<Channel>(self);
}

Raised failed_call(Object result) {
  if (!result) return caught();
  return std::nullopt;
}

// ring(fn, /, *args): rings one call of fn(*args) from this thread.
PyObject* ring(PyObject* self, PyObject* args) {
  Channel& c = record(self);
  if (PyTuple_Size(args) < 1) {
    PyErr_SetString(PyExc_TypeError, "ring() takes the function to call");
    return nullptr;
  }
  if (!c.bell) {
    PyErr_SetString(PyExc_RuntimeError, "the channel was let go");
    return nullptr;
  }
  Carried fn(Object::borrow(PyTuple_GetItem(args, 0)));
  Carried rest(Object::steal(PyTuple_GetSlice(args, 1, PyTuple_Size(args))));
  if (!rest) return nullptr;
  c.bell->ring([fn = std::move(fn), rest = std::move(rest)](Token token) -> Raised {
    return failed_call(Object::steal(PyObject_Call(fn.get(token), rest.get(token), nullptr)));
  });
  Py_RETURN_NONE;
}

// spray(fn, /, threads=1, count=1, *, wait=True, let_go=False, deferred=False): starts native
// threads, none of which takes the interpreter lock; thread t rings count calls, call i running
// fn(t, i). With let_go the channel hands its Bell to the threads, and the last of them to end
// lets go of it. Deferred threads ring only once join() is called, when the caller's own
// references are gone, so that theirs are the last.
PyObject* spray(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"", "threads", "count", "wait", "let_go", "deferred", nullptr};
  PyObject* fn = nullptr;
  Py_ssize_t threads = 1;
  Py_ssize_t count = 1;
  int wait = 1;
  int let_go = 0;
  int deferred = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|nn$ppp", const_cast<char**>(keywords), &fn, &threads, &count,
                                   &wait, &let_go, &deferred)) {
    return nullptr;
  }
  Channel& c = record(self);
  if (!c.bell) {
    PyErr_SetString(PyExc_RuntimeError, "the channel was let go");
    return nullptr;
  }
  if (threads < 1 || count < 0) {
    PyErr_SetString(PyExc_ValueError, "threads must be at least 1 and count not negative");
    return nullptr;
  }
  if (deferred && (wait || c.gate)) {
    PyErr_SetString(PyExc_ValueError, "deferred threads need wait=False and a joined channel");
    return nullptr;
  }
  std::shared_future<void> start;
  if (deferred) start = c.gate.emplace().get_future().share();
  // Every thread gets its own handles before this one drops its own, so that the last holder of
  // the Bell (with let_go) and of the function is one of the threads.
  std::vector<std::shared_ptr<Bell>> bells(static_cast<std::size_t>(threads), c.bell);
  if (let_go) c.bell.reset();
  std::vector<std::shared_ptr<Carried>> fns;
  {
    auto shared = std::make_shared<Carried>(Object::borrow(fn));
    fns.assign(static_cast<std::size_t>(threads), shared);
  }
  try {
    for (Py_ssize_t t = 0; t < threads; ++t) {
      auto i = static_cast<std::size_t>(t);
      c.threads.emplace_back([bell = std::move(bells[i]), fn = std::move(fns[i]), start, t, count]() mutable {
        if (start.valid()) start.wait();
        for (Py_ssize_t n = 0; n < count; ++n) {
          bell->ring([fn, t, n](Token token) -> Raised {
            Object a = Object::steal(PyLong_FromSsize_t(t));
            Object b = Object::steal(PyLong_FromSsize_t(n));
            if (!a || !b) return caught();
            return failed_call(call(fn->get(token), a.get(), b.get()));
          });
        }
        // Perhaps the last holders: the channel may end here, and what it queued go, without the lock.
        bell.reset();
        fn.reset();
      });
    }
  } catch (const std::system_error& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
  if (wait) join(c);
  Py_RETURN_NONE;
}

PyObject* join_threads(PyObject* self, PyObject*) {
  join(record(self));
  Py_RETURN_NONE;
}

PyObject* let_go(PyObject* self, PyObject*) {
  record(self).bell.reset();
  Py_RETURN_NONE;
}

PyObject* wakes(PyObject* self, void*) {
  std::shared_ptr<Bell> bell = record(self).watched.lock();
  if (!bell) {
    PyErr_SetString(PyExc_RuntimeError, "the channel has ended");
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(bell->wakes());
}

PyMethodDef channel_methods[] = {
    {"ring", ring, METH_VARARGS, "ring($self, fn, /, *args)\n--\n\nRings one call of fn(*args) from this thread."},
    {"spray", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(spray)), METH_VARARGS | METH_KEYWORDS,
     "spray($self, fn, /, threads=1, count=1, *, wait=True, let_go=False, deferred=False)\n--\n\n"
     "Native threads ring count calls each; call i of thread t runs fn(t, i)."},
    {"join", join_threads, METH_NOARGS, "join($self)\n--\n\nWaits for the threads of spray."},
    {"let_go", let_go, METH_NOARGS, "let_go($self)\n--\n\nDrops the channel's own handle on the Bell."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef channel_getset[] = {
    {"wakes", wakes, nullptr, "How many wake bytes the Bell sent.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot channel_slots[] = {
    {Py_tp_doc, const_cast<char*>("A loop channel opened for a test.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, channel_methods},
    {Py_tp_getset, channel_getset},
    {0, nullptr},
};

PyType_Spec channel_spec = {
    "vorel._vorel_testing.Channel",
    sizeof(body::Of<Channel>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    channel_slots,
};

Once channel_type;

// channel(): a channel opened on the running loop.
PyObject* channel(PyObject*, PyObject*) {
  PyObject* t = channel_type.get([] { return PyType_FromSpec(&channel_spec); });
  if (t == nullptr) return nullptr;
  Object loop = inbox::current_loop();
  if (!loop) return nullptr;
  std::optional<inbox::Inbox> opened = inbox::Inbox::open(loop.get());
  if (!opened) return nullptr;
  return body::make<Channel>(t, opened->bell(), opened->bell(), std::vector<std::thread>{}, std::nullopt)
      .release();
}

// callback(fn, /): a Callback::bare running fn().
PyObject* callback(PyObject*, PyObject* fn) {
  return Callback::bare([fn = Object::borrow(fn)](Token) { return failed_call(call(fn.get())); }).release();
}

// when_done(fut, fn, /): fn(fut) once the future is done.
PyObject* when_done(PyObject*, PyObject* args) {
  PyObject* fut = nullptr;
  PyObject* fn = nullptr;
  if (!PyArg_ParseTuple(args, "OO", &fut, &fn)) return nullptr;
  Raised failed = callback::when_done(fut, [fn = Object::borrow(fn)](Token, PyObject* done) {
    return failed_call(call(fn.get(), done));
  });
  if (failed) return rethrow(std::move(*failed));
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"channel", channel, METH_NOARGS, "channel()\n--\n\nA loop channel opened on the running loop."},
    {"callback", callback, METH_O, "callback(fn, /)\n--\n\nA loop callback that runs fn() at most once."},
    {"when_done", when_done, METH_VARARGS, "when_done(fut, fn, /)\n--\n\nRuns fn(fut) once fut is done."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_inbox_hooks(PyObject* module) { return PyModule_AddFunctions(module, methods); }

}  // namespace vorel::py::testing
