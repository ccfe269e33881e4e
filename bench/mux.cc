// Envelopes through two multiplexers wired back to back (send, output, frame decoding, receive, the
// credit going back), against a plain memcpy of the same payload bytes measured in the same run. The
// sender keeps more than a window queued, as a busy node does, and the receiver gets the bytes in
// reads of at most the connection's read buffer. Rounds of the two alternate, so that a busy machine
// slows both alike, and each is timed by the thread's CPU clock; a row gives the median of the
// per-round ratios (the mux's throughput over memcpy's) with their 10th and 90th percentiles.
//
// Run by hand: configure with -DVOREL_BENCH=ON, build the target bench_mux, then
// ./bench_mux [rounds] [envelopes of 64 KiB per round] [plain]; "plain" leaves out the codecs.
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "net/connection.hpp"
#include "net/frame.hpp"
#include "net/mux.hpp"

namespace {

using vorel::core::Bytes;
using vorel::net::Limits;
using vorel::net::Mux;
using vorel::net::compress::Name;

// Keeps the optimiser from dropping work whose result is otherwise unused.
std::uint64_t sink = 0;

// Payloads that look like encoded records: field names repeat, values vary.
Bytes payload_of(std::size_t size, std::mt19937_64& rng) {
  static const char* words[] = {"actor", "key", "state", "page", "value", "count", "user", "order"};
  Bytes out;
  out.reserve(size);
  while (out.size() < size) {
    const char* w = words[rng() % 8];
    out.insert(out.end(), w, w + std::strlen(w));
    const auto v = rng() % 1000000;
    for (int i = 0; i < 4 && out.size() < size; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  out.resize(size);
  return out;
}

// Enough distinct payloads that the codecs see fresh bytes and no run stays in the first cache
// levels; the baseline copies from the same pool.
std::vector<Bytes> pool(std::size_t size) {
  std::mt19937_64 rng(42);
  std::vector<Bytes> payloads;
  const std::size_t count = std::max<std::size_t>(64, (4u << 20) / size);
  for (std::size_t i = 0; i < count; ++i) payloads.push_back(payload_of(size, rng));
  return payloads;
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::exit(1);
}

// The writer's output of `from` decoded and received by `to`, as a connection's reader does;
// records, when wanted, go to `taken`. False when `from` had nothing to write. The output's pieces
// are lent to the decoder in reads of at most the connection's read buffer, as the socket would
// hand them over; like the kernel's copies, its copy into the read buffer is not counted.
bool pump(Mux& from, Mux& to, vorel::net::frame::Decoder& decoder, std::vector<vorel::net::mux::Record>* taken) {
  const vorel::net::mux::Output out = from.outgoing();
  if (out.empty()) return false;
  for (const vorel::core::ByteView piece : out.pieces()) {
    for (std::size_t at = 0; at < piece.size(); at += vorel::net::connection::kReadBuffer) {
      decoder.lend(piece.subspan(at, std::min(piece.size() - at, vorel::net::connection::kReadBuffer)));
      for (;;) {
        auto item = decoder.next();
        if (!item) fail("decoder: " + item.error());
        if (!item->has_value()) break;
        const auto* frame = std::get_if<vorel::net::Frame>(&**item);
        auto records = frame ? to.receive(*frame) : to.receive(std::get<vorel::net::frame::Piece>(**item));
        if (!records) fail("mux: " + records.error());
        if (taken) {
          for (auto& r : *records) taken->push_back(std::move(r));
        }
      }
    }
  }
  return true;
}

// One pair of multiplexers, as two connected nodes hold them.
struct Pair {
  Limits limits;
  Mux a, b;
  vorel::net::frame::Decoder at_a, at_b;
  std::vector<vorel::net::mux::Record> taken;

  static Limits limits_of() {
    Limits l;
    l.frame = 262144;
    l.message = 4 << 20;
    l.window = 262144;
    return l;
  }
  explicit Pair(std::optional<Name> codec)
      : limits(limits_of()), a(limits, 1024), b(limits, 1024), at_a(limits.frame), at_b(limits.frame) {
    a.codec(codec);
    b.codec(codec);
  }

  // Sends `count` envelopes from a to b in batches of about two windows, so that the window, not
  // the queue, bounds each write and envelopes are cut across frames; takes each one as the node
  // does.
  void carry(const std::vector<Bytes>& payloads, std::size_t count, std::size_t& next) {
    const std::size_t size = payloads.front().size();
    const std::size_t batch = std::max<std::size_t>(1, 2 * limits.window / (size + 16));
    for (std::size_t done = 0; done < count;) {
      const std::size_t n = std::min(batch, count - done);
      for (std::size_t i = 0; i < n; ++i) {
        if (!a.send(3, "actors", payloads[next++ % payloads.size()])) fail("send refused");
      }
      for (std::size_t arrived = 0; arrived < n;) {
        taken.clear();
        const bool sent = pump(a, b, at_b, &taken);
        for (const auto& r : taken) {
          sink += r.payload[r.payload.size() / 2];
          b.consume(r);
        }
        arrived += taken.size();
        const bool credited = pump(b, a, at_a, nullptr);
        if (!sent && !credited && taken.empty()) fail("stalled");
      }
      done += n;
    }
  }
};

void copy(const std::vector<Bytes>& payloads, std::size_t count, std::size_t& next, Bytes& target) {
  const std::size_t size = payloads.front().size();
  for (std::size_t i = 0; i < count; ++i) {
    std::memcpy(target.data(), payloads[next++ % payloads.size()].data(), size);
    sink += target[size / 2];
  }
}

// The thread's own CPU time, so that other work on a shared machine does not count.
double cpu_now() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

template <class F>
double seconds(F&& f) {
  const double start = cpu_now();
  f();
  return cpu_now() - start;
}

double quantile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  const double at = q * static_cast<double>(v.size() - 1);
  const auto lo = static_cast<std::size_t>(at);
  const std::size_t hi = std::min(lo + 1, v.size() - 1);
  return v[lo] + (v[hi] - v[lo]) * (at - static_cast<double>(lo));
}

// One row: the mux's throughput as a fraction of memcpy's, round by round.
void row(std::size_t size, std::optional<Name> codec, int rounds, std::size_t bytes_per_round) {
  const std::vector<Bytes> payloads = pool(size);
  const std::size_t count = std::max<std::size_t>(1, bytes_per_round / size);
  Pair pair(codec);
  Bytes target(size);
  std::size_t next_mux = 0, next_copy = 0;
  // A first round of each, not counted, so that buffers have grown and pages are mapped.
  pair.carry(payloads, count, next_mux);
  copy(payloads, count, next_copy, target);
  std::vector<double> ratios, mux_rates;
  for (int r = 0; r < rounds; ++r) {
    const double base = seconds([&] { copy(payloads, count, next_copy, target); });
    const double mux = seconds([&] { pair.carry(payloads, count, next_mux); });
    ratios.push_back(base / mux);
    mux_rates.push_back(static_cast<double>(count * size) / mux / 1e6);
  }
  std::printf("%-8s %-6s %12.1f %10.3f %10.3f %10.3f\n", size < 1024 ? "100 B" : "64 KiB",
              codec ? std::string(codec->text()).c_str() : "none", quantile(mux_rates, 0.5), quantile(ratios, 0.5),
              quantile(ratios, 0.1), quantile(ratios, 0.9));
}

}  // namespace

int main(int argc, char** argv) {
  // glibc raises its mmap and trim thresholds only after it has freed a large mapped block, so
  // whether freed records go back to the system, to be faulted in again for the next ones, would
  // depend on which buffers earlier code happened to free: the figures swing by a factor of two on
  // that alone. Fixed thresholds, as a long-running process ends up with, measure the mux instead.
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  mallopt(M_TRIM_THRESHOLD, 8 << 20);
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 31;
  const std::size_t envelopes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 256;
  const std::size_t per_round = envelopes * 65536;
  std::printf("mux throughput as a fraction of memcpy of the same payload bytes: %d interleaved rounds of %zu MiB\n",
              rounds, per_round >> 20);
  std::printf("%-8s %-6s %12s %10s %10s %10s\n", "envelope", "codec", "mux MB/s", "median", "p10", "p90");
  row(65536, std::nullopt, rounds, per_round);
  row(100, std::nullopt, rounds, per_round / 16);
  if (argc > 3 && std::string(argv[3]) == "plain") return sink == 0 ? 1 : 0;
  for (const Name codec : {Name::Zstd, Name::Lz4, Name::Zlib}) row(65536, codec, std::max(5, rounds / 4), per_round / 4);
  return sink == 0 ? 1 : 0;
}
