#include "py/schema/naming.hpp"

#include <fmt/format.h>

#include "py/schema/read.hpp"

namespace vorel::py::schema::naming {
namespace {

// Names are built by recursion over a hint's arguments; a hint nested deeper than the
// interpreter allows ends in its RecursionError instead of exhausting the stack.
class Nesting {
 public:
  Nesting() : entered_(Py_EnterRecursiveCall(" while naming a type") == 0) {}
  ~Nesting() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;
  bool entered() const { return entered_; }

 private:
  bool entered_;
};

using read::text_attribute;

Result<std::string> joined(const Introspect& in, const std::vector<Object>& args, const char* separator) {
  std::string out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    auto n = name(in, args[i].get());
    if (!n) return n;
    if (i > 0) out += separator;
    out += *n;
  }
  return out;
}

Result<std::string> leaf(const Introspect& in, PyObject* hint) {
  if (hint == in.ellipsis.get()) return std::string("...");
  if (hint == Py_None || hint == in.none_type.get()) return std::string("None");
  if (PyType_Check(hint)) return text_attribute(hint, "__qualname__");
  for (PyObject* cls : {in.type_alias_type.get(), in.type_var.get()}) {
    auto is = read::instance(hint, cls);
    if (!is) return std::unexpected(std::move(is.error()));
    if (*is) return text_attribute(hint, "__name__");
  }
  Object repr = Object::steal(PyObject_Repr(hint));
  if (!repr) return raised();
  auto text = utf8(repr.get());
  if (!text) return raised();
  return *std::move(text);
}

}  // namespace

Result<std::string> name(const Introspect& in, PyObject* hint) {
  Nesting nesting;
  if (!nesting.entered()) return raised();
  auto origin = in.origin(hint);
  if (!origin) return std::unexpected(std::move(origin.error()));
  auto args = in.args(hint);
  if (!args) return std::unexpected(std::move(args.error()));
  PyObject* o = origin->get();
  if (o == in.union_type.get() || o == in.union_.get()) return joined(in, *args, " | ");
  if (o == in.annotated.get() && !args->empty()) return name(in, (*args)[0].get());
  if (o == Py_None || o == in.literal.get()) return leaf(in, hint);
  auto arguments = joined(in, *args, ", ");
  auto head = name(in, o);
  if (!head) return head;
  if (!arguments) return arguments;
  return fmt::format("{}[{}]", *head, *arguments);
}

Result<std::optional<std::string>> replacement(const Introspect& in, PyObject* refused,
                                               const std::vector<Object>& args) {
  if (PyType_Check(refused)) {
    auto flag = read::subclass(refused, in.flag.get());
    if (!flag) return std::unexpected(std::move(flag.error()));
    if (*flag) return std::optional<std::string>("a frozenset of an Enum");
  }
  const char* form = nullptr;
  const char* fallback = nullptr;
  if (refused == in.list.get()) {
    form = "tuple[{}, ...]";
    fallback = "T";
  } else if (refused == in.set.get()) {
    form = "frozenset[{}]";
    fallback = "T";
  } else if (refused == in.dict.get()) {
    form = "Mapping[{}]";
    fallback = "K, V";
  } else {
    return std::optional<std::string>();
  }
  auto arguments = joined(in, args, ", ");
  if (!arguments) return std::unexpected(std::move(arguments.error()));
  return std::optional<std::string>(fmt::format(fmt::runtime(form), arguments->empty() ? fallback : *arguments));
}

}  // namespace vorel::py::schema::naming
