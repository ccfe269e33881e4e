// The reads and writes of a `Socket` over any Asio stream, plain or TLS; only net code includes it.
#pragma once

#include <span>
#include <system_error>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/buffer.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "core/bytes.hpp"

namespace vorel::net::stream_io {

template <class Stream>
asio::awaitable<std::pair<std::error_code, std::size_t>> read(Stream& stream, std::span<std::uint8_t> into) {
  std::error_code ec;
  const auto n = co_await stream.async_read_some(asio::buffer(into.data(), into.size()),
                                                 asio::redirect_error(asio::use_awaitable, ec));
  co_return std::pair{ec, n};
}

template <class Stream>
asio::awaitable<std::error_code> write(Stream& stream, core::ByteView bytes) {
  std::error_code ec;
  co_await asio::async_write(stream, asio::buffer(bytes.data(), bytes.size()),
                             asio::redirect_error(asio::use_awaitable, ec));
  co_return ec;
}

// One write of many pieces: the system gathers them, nothing is copied here.
template <class Stream>
asio::awaitable<std::error_code> write_gathered(Stream& stream, std::span<const core::ByteView> pieces) {
  std::vector<asio::const_buffer> buffers;
  buffers.reserve(pieces.size());
  for (const auto piece : pieces) buffers.emplace_back(piece.data(), piece.size());
  std::error_code ec;
  co_await asio::async_write(stream, buffers, asio::redirect_error(asio::use_awaitable, ec));
  co_return ec;
}

}  // namespace vorel::net::stream_io
