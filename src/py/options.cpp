#include "py/options.hpp"

#include <fmt/format.h>

#include "core/debug_form.hpp"

namespace vorel::py::actor {
namespace {

// The conversion's refusal of an object of the wrong type, in the words the module uses elsewhere.
void expected(const char* what, PyObject* value) {
  PyErr_Format(PyExc_TypeError, "expected %s, got %s", what, type_name(value).c_str());
}

// A whole attribute of a timedelta; its range is the class's own, well inside 64 bits.
std::optional<long long> field(PyObject* value, const char* name) {
  Object v = attr(value, name);
  if (!v) return std::nullopt;
  const long long n = PyLong_AsLongLong(v.get());
  if (n == -1 && PyErr_Occurred()) return std::nullopt;
  return n;
}

std::optional<bool> printable(Py_UCS4 c) {
  Object one = Object::steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
  if (!one) return std::nullopt;
  Object answer = call_method(one.get(), "isprintable");
  if (!answer) return std::nullopt;
  const int truth = PyObject_IsTrue(answer.get());
  if (truth < 0) return std::nullopt;
  return truth != 0;
}

}  // namespace

Object timedelta_class() {
  Object datetime = import("datetime");
  if (!datetime) return datetime;
  return attr(datetime.get(), "timedelta");
}

bool equals(PyObject* text, const char* ascii) { return PyUnicode_CompareWithASCIIString(text, ascii) == 0; }

void refused(const char* label, PyObject* value, std::string_view rest) {
  auto shown = debug(value);
  if (shown) value_error(fmt::format("{} is {}, {}", label, *shown, rest));
}

void value_error(const std::string& message) {
  if (Object t = text(message)) PyErr_SetObject(PyExc_ValueError, t.get());
}

bool is_str(const char* label, PyObject* value) {
  if (PyUnicode_Check(value)) return true;
  PyErr_Format(PyExc_TypeError, "%s is %R, not a str", label, value);
  return false;
}

std::optional<std::uint64_t> count(const char* label, PyObject* value) {
  if (!PyIndex_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s is %R, not an int", label, value);
    return std::nullopt;
  }
  Object index = Object::steal(PyNumber_Index(value));
  if (!index) return std::nullopt;
  const unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return n;
}

std::optional<core::Duration> period(const char* label, PyObject* value) {
  Object cls = timedelta_class();
  if (!cls) return std::nullopt;
  const int is = PyObject_IsInstance(value, cls.get());
  if (is < 0) return std::nullopt;
  if (is == 0) {
    expected("a timedelta", value);
    return std::nullopt;
  }
  // A timedelta keeps its sign in `days` alone: seconds and microseconds are never negative.
  auto days = field(value, "days");
  auto seconds = days ? field(value, "seconds") : std::nullopt;
  auto micros = seconds ? field(value, "microseconds") : std::nullopt;
  if (!micros) return std::nullopt;
  if (*days < 0) {
    PyErr_Format(PyExc_ValueError, "%s is %S, which is negative", label, value);
    return std::nullopt;
  }
  return core::Duration{static_cast<std::uint64_t>(*days) * 86'400 + static_cast<std::uint64_t>(*seconds),
                        static_cast<std::uint32_t>(*micros) * 1'000};
}

std::optional<core::Backoff> backed_off(PyObject* value) {
  Object first = attr(value, "first");
  if (!first) return std::nullopt;
  auto first_delay = period("backoff.first", first.get());
  if (!first_delay) return std::nullopt;
  Object limit = attr(value, "limit");
  if (!limit) return std::nullopt;
  auto limit_delay = period("backoff.limit", limit.get());
  if (!limit_delay) return std::nullopt;
  Object factor = attr(value, "factor");
  if (!factor) return std::nullopt;
  const double f = PyFloat_AsDouble(factor.get());
  if (f == -1.0 && PyErr_Occurred()) return std::nullopt;
  // A factor that is not above zero would retry at once, for ever: refused like a negative delay.
  if (!(f > 0.0)) {
    Object shown = Object::steal(PyFloat_FromDouble(f));
    Object r = shown ? Object::steal(PyObject_Repr(shown.get())) : Object();
    auto t = r ? utf8(r.get()) : std::nullopt;
    if (t) value_error(fmt::format("backoff.factor is {}, which is not above zero", *t));
    return std::nullopt;
  }
  return core::Backoff{f, *first_delay, *limit_delay};
}

std::optional<core::WriteLevel> written(PyObject* text) {
  for (std::size_t i = 0; i < core::kWriteLevels.size(); ++i) {
    if (equals(text, core::kWriteLevels[i].data())) return static_cast<core::WriteLevel>(i);
  }
  refused("write", text, "not one of 'one', 'majority', 'all'");
  return std::nullopt;
}

std::optional<std::string> debug(PyObject* text) {
  const Py_ssize_t n = PyUnicode_GetLength(text);
  if (n < 0) return std::nullopt;
  std::string out = "\"";
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 c = PyUnicode_ReadChar(text, i);
    if (c == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) return std::nullopt;
    bool prints = true;
    if (c >= 0x80) {
      // What prints beyond ASCII is the interpreter's judgement, so refusals read as the Python
      // package's own texts do.
      auto p = printable(c);
      if (!p) return std::nullopt;
      prints = *p;
    }
    core::debug_char(out, c, prints);
  }
  out += '"';
  return out;
}

Object timedelta(core::Duration duration) {
  Object cls = timedelta_class();
  if (!cls) return cls;
  Object days = Object::steal(PyLong_FromLong(0));
  Object seconds = Object::steal(PyLong_FromUnsignedLongLong(duration.seconds));
  Object micros = Object::steal(PyLong_FromUnsignedLong(duration.nanos / 1'000));
  if (!days || !seconds || !micros) return Object();
  return call(cls.get(), days.get(), seconds.get(), micros.get());
}

}  // namespace vorel::py::actor
