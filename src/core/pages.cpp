#include "core/pages.hpp"

#include <atomic>
#include <mutex>
#include <utility>

namespace vorel::core {

namespace {

// A buffer this much larger than its bytes is made to fit when it becomes a page: a page lives as
// long as its key's record, and writers reserve room for the common case. Room left by a buffer
// growing in steps stays, so that one grown in parts is not copied again at every part.
bool roomy(const Bytes& bytes) { return bytes.capacity() > 2 * bytes.size() + 64; }

}  // namespace

struct Page::Body {
  // A joined page's bytes once they are first read.
  mutable Bytes flat;
  std::size_t size = 0;
  bool joined = false;
};

struct Page::Joined : Body {
  mutable std::once_flag once;
  // Let go once the bytes are joined.
  mutable std::vector<std::shared_ptr<const Bytes>> pieces;
};

Page::Page(Bytes bytes) {
  if (bytes.empty()) return;
  if (roomy(bytes)) bytes.shrink_to_fit();
  auto body = std::make_shared<Body>();
  body->size = bytes.size();
  body->flat = std::move(bytes);
  body_ = std::move(body);
}

Page Page::joined(std::vector<std::shared_ptr<const Bytes>> pieces) {
  std::size_t size = 0;
  for (const auto& piece : pieces) size += piece->size();
  if (size == 0) return Page();
  auto body = std::make_shared<Joined>();
  body->size = size;
  body->joined = true;
  body->pieces = std::move(pieces);
  return Page(std::shared_ptr<const Body>(std::move(body)));
}

const Bytes& Page::bytes() const {
  static const Bytes kNone;
  if (!body_) return kNone;
  if (body_->joined) {
    const auto& joined = static_cast<const Joined&>(*body_);
    std::call_once(joined.once, [&joined] {
      joined.flat.reserve(joined.size);
      for (const auto& piece : joined.pieces) joined.flat.insert(joined.flat.end(), piece->begin(), piece->end());
      joined.pieces = {};
    });
  }
  return body_->flat;
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
