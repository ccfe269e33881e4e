#include "core/collections/native.hpp"

#include "core/collections/message.hpp"
#include "core/msgpack.hpp"

namespace vorel::core::collections {

std::optional<ByteView> Input::bytes() const {
  if (const auto* m = as_message()) return m->bytes;
  if (const auto* a = as_answer()) return a->message;
  return std::nullopt;
}

Turn Turn::refused(std::string text, std::string error) {
  Turn turn;
  turn.refusal = Refusal{std::move(error), std::move(text)};
  return turn;
}

Turn Native::step(const Parts& parts, const Input& input, double now, Namer& names) const {
  auto turned = turn(parts, input, now, names);
  if (turned && !turned->refusal) return std::move(*turned);
  Turn unchanged = turned ? Turn::refused(std::move(turned->refusal->text), std::move(turned->refusal->error)) : Turn{};
  unchanged.wake = deadline(parts);
  return unchanged;
}

bool Native::disposable(const Parts& parts, double now) const { return parts == initial(now); }

Bytes nil() { return Bytes{msgpack::kNil}; }

Bytes truth(bool value) { return Bytes{value ? msgpack::kTrue : msgpack::kFalse}; }

Bytes number(std::int64_t value) {
  Bytes out;
  msgpack::write_int(out, value);
  return out;
}

Bytes optional(std::optional<ByteView> value) {
  if (!value) return nil();
  Bytes out;
  msgpack::write_bin(out, *value);
  return out;
}

std::optional<Bytes> optional_in(const Parts& parts) {
  return message::part<Bytes>(parts, "value", [](wire::Reading& r) -> std::optional<Bytes> {
    auto b = r.bytes();
    if (!b) return std::nullopt;
    return std::move(*b);
  });
}

}  // namespace vorel::core::collections
