#include "core/pages.hpp"

#include <atomic>
#include <mutex>
#include <utility>

namespace vorel::core {

struct Page::Body {
  std::size_t size = 0;
  bool joined = false;
  // A joined page's pieces until its bytes are first read; then its bytes, and the pieces are let go.
  mutable std::once_flag once;
  mutable Bytes flat;
  mutable std::vector<std::shared_ptr<const Bytes>> pieces;
};

Page::Page(Bytes bytes) {
  if (bytes.empty()) return;
  auto body = std::make_shared<Body>();
  body->size = bytes.size();
  body->flat = std::move(bytes);
  body_ = std::move(body);
}

Page Page::joined(std::vector<std::shared_ptr<const Bytes>> pieces) {
  std::size_t size = 0;
  for (const auto& piece : pieces) size += piece->size();
  if (size == 0) return Page();
  auto body = std::make_shared<Body>();
  body->size = size;
  body->joined = true;
  body->pieces = std::move(pieces);
  return Page(std::shared_ptr<const Body>(std::move(body)));
}

const Bytes& Page::bytes() const {
  static const Bytes kNone;
  if (!body_) return kNone;
  const Body& body = *body_;
  if (body.joined) {
    std::call_once(body.once, [&body] {
      body.flat.reserve(body.size);
      for (const auto& piece : body.pieces) body.flat.insert(body.flat.end(), piece->begin(), piece->end());
      body.pieces = {};
    });
  }
  return body.flat;
}

Bytes Page::take() && {
  if (!body_) return {};
  Bytes out;
  if (!body_->joined && body_.use_count() == 1) {
    // Whoever let go of this body last did so before the count read one: its reads are done.
    std::atomic_thread_fence(std::memory_order_acquire);
    out = std::move(body_->flat);
  } else {
    out = bytes();
  }
  body_.reset();
  return out;
}

std::size_t Page::size() const { return body_ ? body_->size : 0; }

bool operator==(const Page& a, const Page& b) {
  if (a.body_ == b.body_) return true;
  return a.size() == b.size() && a.bytes() == b.bytes();
}

}  // namespace vorel::core
