#include "py/schema/schema.hpp"

#include "py/refs.hpp"
#include "py/schema/compile.hpp"

namespace vorel::py::schema {

namespace ir = core::schema::ir;

Result<Schema> Schema::of(PyObject* annotation, bool sorted) {
  PyObject* ref = refs::type();
  if (ref == nullptr) return raised();
  auto in = Introspect::new_(Object::borrow(ref));
  if (!in) return std::unexpected(std::move(in.error()));
  return compiled(*in, annotation, sorted);
}

Result<Schema> Schema::compiled(const Introspect& in, PyObject* annotation, bool sorted) {
  Compiler compiler(in, sorted);
  auto root = compiler.compile(annotation, {}, {});
  if (!root) return std::unexpected(std::move(root.error()));

  std::vector<ir::Node> nodes;
  nodes.reserve(compiler.nodes.size());
  for (auto& slot : compiler.nodes) {
    if (!slot) return std::unexpected(Failure::schema(std::string(core::schema::error::kRecursive)));
    nodes.push_back(*std::move(slot));
  }
  auto tree = ir::Tree::new_(std::move(nodes), *root);
  if (!tree) return std::unexpected(Failure::schema(std::move(tree.error())));

  Values values{in.datetime, in.date, in.time, in.timedelta, in.decimal, in.uuid, in.mapping, Object(), Object()};
  Object module = import("datetime");
  if (!module) return raised();
  Object utc = attr(module.get(), "UTC");
  if (!utc) return raised();
  Object positional = Object::steal(Py_BuildValue("(iii)", 1970, 1, 1));
  Object keywords = Object::steal(PyDict_New());
  if (!positional || !keywords || PyDict_SetItemString(keywords.get(), "tzinfo", utc.get()) < 0) return raised();
  values.epoch = Object::steal(PyObject_Call(in.datetime.get(), positional.get(), keywords.get()));
  if (!values.epoch) return raised();
  values.timezone = attr(module.get(), "timezone");
  if (!values.timezone) return raised();

  return Schema{*std::move(tree), std::move(compiler.classes), std::move(compiler.codecs), std::move(values)};
}

}  // namespace vorel::py::schema
