#include "net/compress.hpp"

#include <algorithm>
#include <climits>
#include <memory>

#include <fmt/format.h>
#include <lz4frame.h>
#include <zlib.h>
#include <zstd.h>

#include "core/invariant.hpp"

namespace vorel::net::compress {

namespace {

constexpr int kZstdLevel = 3;
constexpr int kZlibLevel = 1;
// First output buffer of a streaming decode: big enough for most chunks at once, small enough
// that a tiny payload claiming a huge expansion costs little before it is caught.
constexpr std::size_t kFirstOutput = 64 * 1024;

// Contexts are reused per thread: building one per chunk costs more than compressing small chunks.
// No state carries over between chunks, since each call starts a fresh frame.
struct ZstdC {
  ZSTD_CCtx* ctx = ZSTD_createCCtx();
  ~ZstdC() { ZSTD_freeCCtx(ctx); }
};
struct ZstdD {
  ZSTD_DCtx* ctx = ZSTD_createDCtx();
  ~ZstdD() { ZSTD_freeDCtx(ctx); }
};
struct Deflater {
  z_stream s{};
  bool ready = false;
  Deflater() { ready = deflateInit(&s, kZlibLevel) == Z_OK; }
  ~Deflater() {
    if (ready) deflateEnd(&s);
  }
};

std::string corrupt(std::string_view codec, std::string_view why) {
  return fmt::format("corrupt {} frame: {}", codec, why);
}
std::string too_large(std::string_view codec, std::uint64_t limit) {
  return fmt::format("{} frame truncated or larger than {} bytes", codec, limit);
}
constexpr std::string_view kEndsEarly = "the input ends before the end marker";
constexpr std::string_view kTrailing = "bytes follow the end marker";

// The output of a streaming decode: grows by doubling up to limit + 1, the byte that proves a
// payload too large.
struct Output {
  core::Bytes bytes;
  std::size_t used = 0;
  std::uint64_t cap;

  Output(std::uint64_t limit, std::size_t input) : cap(limit < UINT64_MAX ? limit + 1 : limit) {
    const std::uint64_t first = std::max<std::uint64_t>(kFirstOutput, std::uint64_t{input} * 4);
    bytes.resize(static_cast<std::size_t>(std::min(first, cap)));
  }
  bool full() const { return used == bytes.size(); }
  bool over(std::uint64_t limit) const { return used > limit; }
  // False once the buffer already holds limit + 1 bytes.
  bool grow() {
    if (bytes.size() >= cap) return false;
    bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(cap, std::uint64_t{bytes.size()} * 2)));
    return true;
  }
  core::Bytes take() {
    bytes.resize(used);
    return std::move(bytes);
  }
};

std::expected<core::Bytes, std::string> unzstd(core::ByteView in, std::uint64_t limit) {
  const unsigned long long declared = ZSTD_getFrameContentSize(in.data(), in.size());
  if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared == ZSTD_CONTENTSIZE_ERROR || declared > limit) {
    return std::unexpected(fmt::format("compressed frame without a size up to {} bytes", limit));
  }
  thread_local ZstdD d;
  if (d.ctx == nullptr) core::broken("a zstd context can be made");
  core::Bytes out(static_cast<std::size_t>(declared));
  std::uint8_t spare = 0;
  const std::size_t n = ZSTD_decompressDCtx(d.ctx, out.empty() ? &spare : out.data(), out.size(), in.data(), in.size());
  if (ZSTD_isError(n)) return std::unexpected(corrupt("zstd", ZSTD_getErrorName(n)));
  out.resize(n);
  return out;
}

std::expected<core::Bytes, std::string> unlz4(core::ByteView in, std::uint64_t limit) {
  LZ4F_dctx* raw = nullptr;
  if (LZ4F_isError(LZ4F_createDecompressionContext(&raw, LZ4F_VERSION))) core::broken("an lz4 context can be made");
  const std::unique_ptr<LZ4F_dctx, decltype(&LZ4F_freeDecompressionContext)> dctx(raw, LZ4F_freeDecompressionContext);
  Output out(limit, in.size());
  std::size_t read = 0;
  for (;;) {
    std::size_t dst = out.bytes.size() - out.used;
    std::size_t src = in.size() - read;
    const std::size_t hint =
        LZ4F_decompress(dctx.get(), out.bytes.data() + out.used, &dst, in.data() + read, &src, nullptr);
    if (LZ4F_isError(hint)) return std::unexpected(corrupt("lz4", LZ4F_getErrorName(hint)));
    read += src;
    out.used += dst;
    if (out.over(limit)) return std::unexpected(too_large("lz4", limit));
    if (hint == 0) {
      if (read != in.size()) return std::unexpected(corrupt("lz4", kTrailing));
      return out.take();
    }
    if (out.full()) {
      if (!out.grow()) return std::unexpected(too_large("lz4", limit));
      continue;
    }
    // Room was left in the output, so the decoder flushed all it had: it waits for input.
    if (read == in.size() || (src == 0 && dst == 0)) return std::unexpected(corrupt("lz4", kEndsEarly));
  }
}

std::expected<core::Bytes, std::string> unzlib(core::ByteView in, std::uint64_t limit) {
  z_stream s{};
  if (inflateInit(&s) != Z_OK) core::broken("a zlib context can be made");
  const std::unique_ptr<z_stream, decltype(&inflateEnd)> guard(&s, inflateEnd);
  Output out(limit, in.size());
  std::size_t read = 0;
  for (;;) {
    const std::size_t in_chunk = std::min<std::size_t>(in.size() - read, UINT_MAX);
    const std::size_t out_chunk = std::min<std::size_t>(out.bytes.size() - out.used, UINT_MAX);
    s.next_in = const_cast<Bytef*>(in.data() + read);
    s.avail_in = static_cast<uInt>(in_chunk);
    s.next_out = out.bytes.data() + out.used;
    s.avail_out = static_cast<uInt>(out_chunk);
    const int rc = inflate(&s, Z_NO_FLUSH);
    read += in_chunk - s.avail_in;
    out.used += out_chunk - s.avail_out;
    if (out.over(limit)) return std::unexpected(too_large("zlib", limit));
    switch (rc) {
      case Z_STREAM_END:
        if (read != in.size()) return std::unexpected(corrupt("zlib", kTrailing));
        return out.take();
      case Z_OK:
      case Z_BUF_ERROR:
        if (out.full()) {
          if (!out.grow()) return std::unexpected(too_large("zlib", limit));
          continue;
        }
        if (read == in.size()) return std::unexpected(corrupt("zlib", kEndsEarly));
        continue;
      case Z_NEED_DICT:
        return std::unexpected(corrupt("zlib", "it needs a preset dictionary"));
      default:
        return std::unexpected(corrupt("zlib", s.msg != nullptr ? s.msg : zError(rc)));
    }
  }
}

}  // namespace

std::optional<Name> Name::of(std::string_view text) {
  if (text == "zstd") return Name(Zstd);
  if (text == "lz4") return Name(Lz4);
  if (text == "zlib") return Name(Zlib);
  return std::nullopt;
}

std::string_view Name::text() const {
  switch (codec_) {
    case Zstd: return "zstd";
    case Lz4: return "lz4";
    case Zlib: return "zlib";
  }
  core::broken("a codec is one of three");
}

core::Bytes Name::compress(core::ByteView chunk) const {
  core::Bytes out;
  switch (codec_) {
    case Zstd: {
      thread_local ZstdC c;
      if (c.ctx == nullptr) core::broken("a zstd context can be made");
      out.resize(ZSTD_compressBound(chunk.size()));
      // Level 3 through a context writes the content size into the frame header, which the
      // receiver needs to bound its buffer before decoding.
      const std::size_t n = ZSTD_compressCCtx(c.ctx, out.data(), out.size(), chunk.data(), chunk.size(), kZstdLevel);
      if (ZSTD_isError(n)) core::broken("zstd compresses into its bound");
      out.resize(n);
      return out;
    }
    case Lz4: {
      out.resize(LZ4F_compressFrameBound(chunk.size(), nullptr));
      const std::size_t n = LZ4F_compressFrame(out.data(), out.size(), chunk.data(), chunk.size(), nullptr);
      if (LZ4F_isError(n)) core::broken("lz4 compresses into its bound");
      out.resize(n);
      return out;
    }
    case Zlib: {
      thread_local Deflater z;
      if (!z.ready || deflateReset(&z.s) != Z_OK) core::broken("a zlib context can be made");
      if (chunk.size() > UINT_MAX) core::broken("a chunk is bounded by the frame limit");
      out.resize(deflateBound(&z.s, static_cast<uLong>(chunk.size())));
      z.s.next_in = const_cast<Bytef*>(chunk.data());
      z.s.avail_in = static_cast<uInt>(chunk.size());
      z.s.next_out = out.data();
      z.s.avail_out = static_cast<uInt>(out.size());
      if (deflate(&z.s, Z_FINISH) != Z_STREAM_END) core::broken("zlib compresses into its bound");
      out.resize(out.size() - z.s.avail_out);
      return out;
    }
  }
  core::broken("a codec is one of three");
}

std::expected<core::Bytes, std::string> Name::decompress(core::ByteView compressed, std::uint64_t limit) const {
  switch (codec_) {
    case Zstd: return unzstd(compressed, limit);
    case Lz4: return unlz4(compressed, limit);
    case Zlib: return unzlib(compressed, limit);
  }
  core::broken("a codec is one of three");
}

}  // namespace vorel::net::compress
