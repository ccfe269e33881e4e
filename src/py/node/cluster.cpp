#include "py/node/cluster.hpp"

#include <fmt/format.h>

#include "core/membership/views.hpp"
#include "py/node.hpp"
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
  if (auto usable = out.checked(); !usable) {
    actor::value_error(usable.error());
    return std::nullopt;
  }
  return out;
}

std::optional<vorel::node::Cluster> settings(PyObject* object, const NodeConfig& config) {
  vorel::node::Cluster out;
  Object overlay = attr(object, "overlay");
  if (!overlay) return std::nullopt;
  Object compression = attr(object, "compression");
  if (!compression) return std::nullopt;
  auto bind = text_attribute(object, "bind");
  if (!bind) return std::nullopt;
  out.bind = std::move(*bind);
  Object advertise = attr(object, "advertise");
  if (!advertise) return std::nullopt;
  if (advertise.get() != Py_None) {
    auto a = utf8(advertise.get());
    if (!a) return std::nullopt;
    out.advertise = std::move(*a);
  }
  Object seeds_object = attr(object, "seeds");
  auto seeds = seeds_object ? texts("seeds", seeds_object.get()) : std::nullopt;
  if (!seeds) return std::nullopt;
  out.seeds = std::move(*seeds);
  auto name = text_attribute(object, "name");
  if (!name) return std::nullopt;
  out.name = std::move(*name);
  // Each duration is read and converted before the next is read.
  auto duration = [](PyObject* from, const char* attribute, const char* shown, bool round,
                     core::Duration& field) -> bool {
    Object value = attr(from, attribute);
    if (!value) return false;
    auto d = round ? every(shown, value.get()) : actor::period(shown, value.get());
    if (!d) return false;
    field = *d;
    return true;
  };
  if (!duration(object, "heartbeat", "heartbeat", true, out.heartbeat)) return std::nullopt;
  if (!duration(object, "suspect_after", "suspect_after", false, out.suspect_after)) return std::nullopt;
  if (!duration(object, "dead_after", "dead_after", false, out.dead_after)) return std::nullopt;
  Object remove_after = attr(object, "remove_after");
  if (!remove_after) return std::nullopt;
  if (remove_after.get() == Py_None) {
    out.remove_after.reset();
  } else {
    auto d = actor::period("remove_after", remove_after.get());
    if (!d) return std::nullopt;
    out.remove_after = *d;
  }
  if (!duration(object, "anti_entropy", "anti_entropy", true, out.anti_entropy)) return std::nullopt;
  if (!duration(overlay.get(), "graft_after", "overlay.graft_after", true, out.graft_after)) return std::nullopt;
  if (!duration(overlay.get(), "shuffle_every", "overlay.shuffle_every", true, out.shuffle_every)) {
    return std::nullopt;
  }
  auto active = unsigned_attribute(overlay.get(), "active");
  if (!active) return std::nullopt;
  auto passive = unsigned_attribute(overlay.get(), "passive");
  if (!passive) return std::nullopt;
  std::uint32_t walks[2] = {};
  const char* walk_names[2] = {"join_walk", "passive_walk"};
  for (int i = 0; i < 2; ++i) {
    auto w = unsigned_attribute(overlay.get(), walk_names[i]);
    if (!w) return std::nullopt;
    if (*w > UINT32_MAX) {
      PyErr_SetString(PyExc_OverflowError, fmt::format("{} is {}, too large for 32 bits", walk_names[i], *w).c_str());
      return std::nullopt;
    }
    walks[i] = static_cast<std::uint32_t>(*w);
  }
  out.active = *active;
  out.passive = *passive;
  out.join_walk = walks[0];
  out.passive_walk = walks[1];
  if (auto usable = core::membership::Overlay{out.active, out.passive, out.join_walk, out.passive_walk}.check();
      !usable) {
    actor::value_error(usable.error());
    return std::nullopt;
  }
  Object tls_object = attr(object, "tls");
  if (!tls_object) return std::nullopt;
  auto secured = tls(tls_object.get());
  if (!secured) return std::nullopt;
  out.tls = std::move(*secured);
  auto codecs = compressed(compression.get());
  if (!codecs) return std::nullopt;
  out.codecs = std::move(*codecs);
  auto min_bytes = unsigned_attribute(compression.get(), "min_bytes");
  if (!min_bytes) return std::nullopt;
  out.min_bytes = *min_bytes;
  Object limits_object = attr(object, "limits");
  auto carried = limits_object ? limits(limits_object.get()) : std::nullopt;
  if (!carried) return std::nullopt;
  out.limits = *carried;
  out.write_timeout = config.write_timeout;
  out.leave_timeout = config.leave_timeout;
  out.backoff = config.backoff;
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
