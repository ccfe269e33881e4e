#include "net/handshake.hpp"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "core/debug_form.hpp"

namespace vorel::net::handshake {

namespace {

void write_node(core::wire::Writer& w, const core::NodeId& node) {
  w.optional(node.address, [](core::wire::Writer& out, const std::string& a) { out.str(a); });
  w.bin(node.incarnation);
}

std::string malformed(std::string_view name) {
  return fmt::format("malformed handshake message {}", core::debug_form(name));
}

std::optional<std::string> read_text(core::wire::Reading& r) {
  auto s = r.text();
  if (!s) return std::nullopt;
  return std::move(*s);
}

std::optional<Hello> read_hello(core::wire::Reading& r) {
  Hello hello;
  auto cluster = read_text(r);
  if (!cluster) return std::nullopt;
  hello.cluster = std::move(*cluster);
  auto node = read_node(r);
  if (!node) return std::nullopt;
  hello.node = std::move(*node);
  auto count = r.items();
  if (!count) return std::nullopt;
  for (std::uint64_t i = 0; i < *count; ++i) {
    auto name = r.read_str();
    if (!name) return std::nullopt;
    // Codecs this node does not know are skipped, so a newer peer can offer more.
    if (auto codec = compress::Name::of(*name)) hello.codecs.push_back(*codec);
  }
  for (std::uint64_t* field : {&hello.frame, &hello.message, &hello.window}) {
    auto value = size(r);
    if (!value) return std::nullopt;
    *field = *value;
  }
  return hello;
}

std::optional<HelloAck> read_ack(core::wire::Reading& r) {
  auto node = read_node(r);
  if (!node) return std::nullopt;
  auto nil = r.nil();
  if (!nil) return std::nullopt;
  if (*nil) return HelloAck{std::move(*node), std::nullopt};
  // Unlike a hello's list, an ack must name a codec this node offered, so an unknown one is wrong.
  auto name = r.read_str();
  if (!name) return std::nullopt;
  auto codec = compress::Name::of(*name);
  if (!codec) return std::nullopt;
  return HelloAck{std::move(*node), codec};
}

std::optional<Message> read_message(std::string_view name, core::wire::Reading& r) {
  auto count = r.items();
  if (!count) return std::nullopt;
  if (name == kHello && *count == 7) return read_hello(r);
  if (name == kHelloAck && *count == 3) return read_ack(r);
  if (name == kHelloReject && *count == 1) {
    auto reason = read_text(r);
    if (!reason) return std::nullopt;
    return HelloReject{std::move(*reason)};
  }
  if (name == kHelloDuplicate && *count == 0) return HelloDuplicate{};
  return std::nullopt;
}

std::string limits_text(const Hello& h) { return fmt::format("[{}, {}, {}]", h.frame, h.message, h.window); }

}  // namespace

std::optional<core::NodeId> read_node(core::wire::Reading& reader) {
  auto address = reader.address();
  if (!address) return std::nullopt;
  auto incarnation = reader.read_bin();
  if (!incarnation || incarnation->size() != core::Incarnation{}.size()) return std::nullopt;
  core::NodeId node{std::move(*address), {}};
  std::memcpy(node.incarnation.data(), incarnation->data(), node.incarnation.size());
  return node;
}

std::optional<std::uint64_t> size(core::wire::Reading& reader) {
  auto value = reader.read_int();
  if (!value || value->is_signed()) return std::nullopt;
  return value->as_unsigned();
}

Encoded encode(const Message& message) {
  core::wire::Writer w;
  struct Write {
    core::wire::Writer& w;
    std::string_view operator()(const Hello& h) const {
      w.array(7);
      w.str(h.cluster);
      write_node(w, h.node);
      w.array(h.codecs.size());
      for (const auto codec : h.codecs) w.str(codec.text());
      w.uint(h.frame);
      w.uint(h.message);
      w.uint(h.window);
      return kHello;
    }
    std::string_view operator()(const HelloAck& a) const {
      w.array(3);
      write_node(w, a.node);
      if (a.codec) {
        w.str(a.codec->text());
      } else {
        w.nil();
      }
      return kHelloAck;
    }
    std::string_view operator()(const HelloReject& r) const {
      w.array(1);
      w.str(r.reason);
      return kHelloReject;
    }
    std::string_view operator()(const HelloDuplicate&) const {
      w.array(0);
      return kHelloDuplicate;
    }
  };
  const std::string_view name = std::visit(Write{w}, message);
  return Encoded{name, w.take()};
}

std::expected<Message, std::string> decode(std::string_view name, core::ByteView payload) {
  core::wire::Reading reader(payload);
  // Bytes after the last item are ignored, so a later version may append fields.
  auto message = read_message(name, reader);
  if (!message) return std::unexpected(malformed(name));
  return std::move(*message);
}

std::expected<HelloAck, std::string> answer(const Hello& theirs, const Hello& ours) {
  if (theirs.cluster != ours.cluster) {
    return std::unexpected(
        fmt::format("cluster {} is not {}", core::debug_form(theirs.cluster), core::debug_form(ours.cluster)));
  }
  if (theirs.frame != ours.frame || theirs.message != ours.message || theirs.window != ours.window) {
    return std::unexpected(
        fmt::format("limits (frame, message, window) {} are not {}", limits_text(theirs), limits_text(ours)));
  }
  if (theirs.node == ours.node) return std::unexpected(std::string("connection to itself"));
  std::optional<compress::Name> codec;
  // The dialer's preference order decides.
  for (const auto offered : theirs.codecs) {
    if (std::find(ours.codecs.begin(), ours.codecs.end(), offered) != ours.codecs.end()) {
      codec = offered;
      break;
    }
  }
  return HelloAck{ours.node, codec};
}

}  // namespace vorel::net::handshake
