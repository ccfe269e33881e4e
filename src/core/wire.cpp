#include "core/wire.hpp"

#include <algorithm>
#include <cstring>

namespace vorel::core::wire {

namespace {
constexpr std::string_view kAddress = "address";
constexpr std::string_view kIncarnation = "incarnation";

void incarnation(Bytes& out, const Incarnation& inc) {
  out.push_back(0xc4);
  out.push_back(0x10);
  out.insert(out.end(), inc.begin(), inc.end());
}

Result<Incarnation> incarnation_of(ByteView b) {
  if (b.size() != 16) return std::unexpected(Malformed::truncated());
  Incarnation inc;
  std::copy(b.begin(), b.end(), inc.begin());
  return inc;
}
}  // namespace

void Writer::node(const NodeId& n) {
  msgpack::write_map(out_, 2);
  msgpack::write_str(out_, kAddress);
  if (n.address) {
    msgpack::write_str(out_, *n.address);
  } else {
    msgpack::write_nil(out_);
  }
  msgpack::write_str(out_, kIncarnation);
  incarnation(out_, n.incarnation);
}

void Writer::entity(std::string_view kind, std::uint64_t entries, std::string_view actor, std::string_view key) {
  msgpack::write_array(out_, 2);
  msgpack::write_str(out_, kind);
  msgpack::write_map(out_, entries);
  msgpack::write_str(out_, "actor");
  msgpack::write_str(out_, actor);
  msgpack::write_str(out_, "key");
  msgpack::write_str(out_, key);
}

void Writer::target(const Target& t) {
  if (const auto* e = t.as_entity()) {
    msgpack::write_array(out_, 3);
    msgpack::write_str(out_, "e");
    msgpack::write_str(out_, e->actor);
    msgpack::write_str(out_, e->key);
    return;
  }
  const auto* r = t.as_reply();
  msgpack::write_array(out_, 4);
  msgpack::write_str(out_, "r");
  if (r->node.address) {
    msgpack::write_str(out_, *r->node.address);
  } else {
    msgpack::write_nil(out_);
  }
  incarnation(out_, r->node.incarnation);
  msgpack::write_int(out_, msgpack::Integer::of_signed(r->id));
}

void Writer::pages(const Pages& pages) {
  msgpack::write_array(out_, pages.size());
  for (const auto& [name, content] : pages) {
    msgpack::write_array(out_, 2);
    msgpack::write_str(out_, name);
    msgpack::write_bin(out_, content);
  }
}

Result<std::int64_t> Reading::int_() {
  auto v = read_int();
  if (!v) return std::unexpected(v.error());
  if (!v->is_signed() && v->bits > static_cast<std::uint64_t>(INT64_MAX)) {
    return std::unexpected(Malformed::marker(0x00));
  }
  return v->as_signed();
}

Result<std::uint64_t> Reading::unsigned_() {
  auto v = read_int();
  if (!v) return std::unexpected(v.error());
  if (v->negative()) return std::unexpected(Malformed::marker(0x00));
  return v->bits;
}

Result<bool> Reading::nil() {
  auto k = kind();
  if (!k) return std::unexpected(k.error());
  if (*k != msgpack::Kind::Nil) return false;
  if (auto r = read_nil(); !r) return std::unexpected(r.error());
  return true;
}

Result<std::string_view> Reading::tag() {
  auto n = read_array_len();
  if (!n) return std::unexpected(n.error());
  if (*n != 2) return std::unexpected(Malformed::marker(0x00));
  return read_str();
}

Result<std::pair<std::string, std::uint64_t>> Reading::tagged() {
  auto t = tag();
  if (!t) return std::unexpected(t.error());
  auto n = read_map_len();
  if (!n) return std::unexpected(n.error());
  return std::pair<std::string, std::uint64_t>{std::string(*t), *n};
}

Result<std::string> Reading::text() {
  auto s = read_str();
  if (!s) return std::unexpected(s.error());
  return std::string(*s);
}

Result<Bytes> Reading::bytes() {
  auto b = read_bin();
  if (!b) return std::unexpected(b.error());
  return Bytes(b->begin(), b->end());
}

Result<std::optional<std::string>> Reading::address() {
  auto k = kind();
  if (!k) return std::unexpected(k.error());
  if (*k == msgpack::Kind::Nil) {
    if (auto r = read_nil(); !r) return std::unexpected(r.error());
    return std::optional<std::string>{};
  }
  if (*k != msgpack::Kind::Str) return std::unexpected(Malformed::marker(*peek()));
  auto s = read_str();
  if (!s) return std::unexpected(s.error());
  return std::optional<std::string>{std::string(*s)};
}

Result<NodeId> Reading::node() {
  auto n = read_map_len();
  if (!n) return std::unexpected(n.error());
  NodeId id;
  bool have_incarnation = false;
  for (std::uint64_t i = 0; i < *n; ++i) {
    auto key = read_str();
    if (!key) return std::unexpected(key.error());
    if (*key == kAddress) {
      auto a = address();
      if (!a) return std::unexpected(a.error());
      id.address = std::move(*a);
    } else if (*key == kIncarnation) {
      auto b = read_bin();
      if (!b) return std::unexpected(b.error());
      auto inc = incarnation_of(*b);
      // A repeated key takes its last value, so a later bad one still spoils the record.
      have_incarnation = inc.has_value();
      if (inc) id.incarnation = *inc;
    } else if (auto r = skip(); !r) {
      return std::unexpected(r.error());
    }
  }
  if (!have_incarnation) return std::unexpected(Malformed::truncated());
  return id;
}

Result<Pages> Reading::pages() {
  auto count = items();
  if (!count) return std::unexpected(count.error());
  Pages out;
  for (std::uint64_t i = 0; i < *count; ++i) {
    auto pair = items();
    if (!pair) return std::unexpected(pair.error());
    // A pair of any other length would shift every later read onto the wrong values.
    if (*pair != 2) return std::unexpected(Malformed::marker(0x00));
    auto name = text();
    if (!name) return std::unexpected(name.error());
    auto content = bytes();
    if (!content) return std::unexpected(content.error());
    out.insert_or_assign(std::move(*name), std::move(*content));
  }
  return out;
}

Result<Target> Reading::target() {
  auto n = read_array_len();
  if (!n) return std::unexpected(n.error());
  auto tag = read_str();
  if (!tag) return std::unexpected(tag.error());
  if (*tag == "e" && *n == 3) {
    auto actor = text();
    if (!actor) return std::unexpected(actor.error());
    auto key = text();
    if (!key) return std::unexpected(key.error());
    return Target::entity(std::move(*actor), std::move(*key));
  }
  if (*tag == "r" && *n == 4) {
    auto a = address();
    if (!a) return std::unexpected(a.error());
    auto b = read_bin();
    if (!b) return std::unexpected(b.error());
    auto inc = incarnation_of(*b);
    if (!inc) return std::unexpected(inc.error());
    auto id = int_();
    if (!id) return std::unexpected(id.error());
    return Target::reply(NodeId{std::move(*a), *inc}, *id);
  }
  return std::unexpected(Malformed::truncated());
}

}  // namespace vorel::core::wire
