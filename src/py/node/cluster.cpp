#include "py/node/cluster.hpp"

#include <fmt/format.h>

#include "py/options.hpp"

namespace vorel::py::cluster {
namespace {

std::optional<std::string> text_attribute(PyObject* object, const char* name) {
  Object value = attr(object, name);
  if (!value) return std::nullopt;
  return utf8(value.get());
}

std::optional<std::uint64_t> unsigned_attribute(PyObject* object, const char* name) {
  Object value = attr(object, name);
  if (!value) return std::nullopt;
  return unsigned64(value.get());
}

}  // namespace

std::optional<std::uint64_t> unsigned64(PyObject* value) {
  if (!PyLong_Check(value)) {
    PyErr_SetString(PyExc_TypeError, fmt::format("expected an int, got {}", type_name(value)).c_str());
    return std::nullopt;
  }
  const unsigned long long n = PyLong_AsUnsignedLongLong(value);
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return n;
}

std::optional<core::Duration> every(const char* name, PyObject* value) {
  auto d = actor::period(name, value);
  if (!d) return d;
  if (d->seconds == 0 && d->nanos == 0) {
    Object shown = Object::steal(PyObject_Str(value));
    auto s = shown ? utf8(shown.get()) : std::nullopt;
    if (s) {
      actor::value_error(fmt::format("{} is {}, and a period of zero would never wait between two rounds", name, *s));
    }
    return std::nullopt;
  }
  return d;
}

std::optional<std::optional<net::Tls>> tls(PyObject* value) {
  if (value == nullptr || value == Py_None) return std::optional<net::Tls>();
  net::Tls out;
  auto cert = text_attribute(value, "cert");
  if (!cert) return std::nullopt;
  auto key = text_attribute(value, "key");
  if (!key) return std::nullopt;
  Object ca = attr(value, "ca");
  if (!ca) return std::nullopt;
  if (ca.get() != Py_None) {
    auto c = utf8(ca.get());
    if (!c) return std::nullopt;
    out.ca = std::move(*c);
  }
  Object require = attr(value, "require_client_cert");
  if (!require) return std::nullopt;
  if (!PyBool_Check(require.get())) {
    PyErr_SetString(PyExc_TypeError,
                    fmt::format("require_client_cert must be a bool, not {}", type_name(require.get())).c_str());
    return std::nullopt;
  }
  out.cert = std::move(*cert);
  out.key = std::move(*key);
  out.require_client_cert = require.get() == Py_True;
  return std::optional<net::Tls>(std::move(out));
}

std::optional<std::optional<std::vector<net::compress::Name>>> compressed(PyObject* compression) {
  Object codecs = attr(compression, "codecs");
  if (!codecs) return std::nullopt;
  if (codecs.get() == Py_None) return std::optional<std::vector<net::compress::Name>>();
  auto names = texts("codecs", codecs.get());
  if (!names) return std::nullopt;
  std::vector<net::compress::Name> out;
  for (const std::string& name : *names) {
    auto codec = net::compress::Name::of(name);
    if (!codec) {
      Object t = text(name);
      auto shown = t ? actor::debug(t.get()) : std::nullopt;
      if (shown) actor::value_error(fmt::format("compression codec {} is not one of zstd, lz4, zlib", *shown));
      return std::nullopt;
    }
    out.push_back(*codec);
  }
  return std::optional<std::vector<net::compress::Name>>(std::move(out));
}

std::optional<net::Limits> limits(PyObject* object) {
  net::Limits out;
  for (auto [name, field] : {std::pair{"frame", &net::Limits::frame}, std::pair{"message", &net::Limits::message},
                             std::pair{"window", &net::Limits::window}}) {
    auto n = unsigned_attribute(object, name);
    if (!n) return std::nullopt;
    out.*field = *n;
  }
  return out;
}

std::optional<std::vector<std::string>> texts(const char* name, PyObject* value) {
  auto refuse = [&](PyObject* o) {
    PyErr_SetString(PyExc_TypeError, fmt::format("{} must be a sequence of str, not {}", name, type_name(o)).c_str());
    return std::nullopt;
  };
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, fmt::format("missing required keyword-only argument: '{}'", name).c_str());
    return std::nullopt;
  }
  if (PyUnicode_Check(value) || !PySequence_Check(value)) return refuse(value);
  Object items = Object::steal(PySequence_Tuple(value));
  if (!items) return std::nullopt;
  std::vector<std::string> out;
  for (Py_ssize_t i = 0; i < PyTuple_Size(items.get()); ++i) {
    PyObject* item = PyTuple_GetItem(items.get(), i);
    if (!PyUnicode_Check(item)) return refuse(item);
    auto t = utf8(item);
    if (!t) return std::nullopt;
    out.push_back(std::move(*t));
  }
  return out;
}

}  // namespace vorel::py::cluster
