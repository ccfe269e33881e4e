// Envelopes through two multiplexers wired back to back, against a plain memcpy of the same
// payload bytes measured in the same run. Run by hand: build with -DVOREL_BENCH=ON, then
// ./bench_mux [seconds per case].
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "net/frame.hpp"
#include "net/mux.hpp"

namespace {

using vorel::core::Bytes;
using vorel::net::Frame;
using vorel::net::Limits;
using vorel::net::Mux;
using vorel::net::compress::Name;
using Clock = std::chrono::steady_clock;

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

// Enough distinct payloads that no window of them repeats, so the codecs see fresh bytes.
std::vector<Bytes> pool(std::size_t size, std::size_t batch) {
  std::mt19937_64 rng(42);
  std::vector<Bytes> payloads;
  for (std::size_t i = 0; i < std::max<std::size_t>(64, 4 * batch); ++i) payloads.push_back(payload_of(size, rng));
  return payloads;
}

struct Sink {
  // Keeps the optimiser from dropping work whose result is otherwise unused.
  std::uint64_t checksum = 0;
} sink;

struct Figures {
  double seconds = 0;
  std::uint64_t envelopes = 0;
  std::uint64_t bytes = 0;
};

bool pump(Mux& from, Mux& to, vorel::net::frame::Decoder& decoder, std::vector<vorel::net::mux::Record>* taken) {
  const Bytes out = from.output();
  if (out.empty()) return false;
  decoder.append(out);
  for (;;) {
    auto f = decoder.frame();
    if (!f) {
      std::fprintf(stderr, "decoder: %s\n", f.error().c_str());
      std::exit(1);
    }
    if (!f->has_value()) break;
    auto records = to.receive(**f);
    if (!records) {
      std::fprintf(stderr, "mux: %s\n", records.error().c_str());
      std::exit(1);
    }
    if (taken) {
      for (auto& r : *records) taken->push_back(std::move(r));
    }
  }
  return true;
}

Figures through_mux(std::size_t size, std::optional<Name> codec, double budget) {
  Limits limits;
  limits.frame = 262144;
  limits.message = 4 << 20;
  limits.window = 262144;
  Mux a(limits, 1024), b(limits, 1024);
  a.codec(codec);
  b.codec(codec);
  vorel::net::frame::Decoder at_a(limits.frame), at_b(limits.frame);
  // A batch fills about one window, as a busy node queues between two writes.
  const std::size_t batch = std::max<std::size_t>(1, limits.window / (size + 16));
  const std::vector<Bytes> payloads = pool(size, batch);
  std::vector<vorel::net::mux::Record> taken;
  Figures f;
  const auto start = Clock::now();
  while (std::chrono::duration<double>(Clock::now() - start).count() < budget) {
    for (std::size_t i = 0; i < batch; ++i) {
      if (!a.send(3, "actors", payloads[(f.envelopes + i) % payloads.size()])) std::exit(1);
    }
    std::size_t arrived = 0;
    while (arrived < batch) {
      taken.clear();
      const bool sent = pump(a, b, at_b, &taken);
      for (const auto& r : taken) {
        sink.checksum += r.payload.size();
        b.consume(r);
      }
      arrived += taken.size();
      const bool credited = pump(b, a, at_a, nullptr);
      if (!sent && !credited && taken.empty()) {
        std::fprintf(stderr, "stalled\n");
        std::exit(1);
      }
    }
    f.envelopes += batch;
    f.bytes += batch * size;
  }
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return f;
}

Figures through_memcpy(std::size_t size, double budget) {
  const std::vector<Bytes> payloads = pool(size, std::max<std::size_t>(1, 262144 / (size + 16)));
  Bytes target(size);
  Figures f;
  const auto start = Clock::now();
  while (std::chrono::duration<double>(Clock::now() - start).count() < budget) {
    for (int i = 0; i < 1000; ++i) {
      const Bytes& p = payloads[(f.envelopes + i) % payloads.size()];
      std::memcpy(target.data(), p.data(), size);
      sink.checksum += target[size / 2];
    }
    f.envelopes += 1000;
    f.bytes += 1000 * size;
  }
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const double budget = argc > 1 ? std::atof(argv[1]) : 1.0;
  std::printf("%-8s %-6s %14s %12s %14s %12s\n", "envelope", "codec", "envelopes/s", "MB/s", "memcpy MB/s",
              "of memcpy");
  for (const std::size_t size : {std::size_t{100}, std::size_t{65536}}) {
    const Figures base = through_memcpy(size, budget);
    const double base_rate = static_cast<double>(base.bytes) / base.seconds;
    const std::optional<Name> codecs[] = {std::nullopt, Name::Zstd, Name::Lz4, Name::Zlib};
    for (const auto& codec : codecs) {
      const Figures f = through_mux(size, codec, budget);
      const double rate = static_cast<double>(f.bytes) / f.seconds;
      std::printf("%-8s %-6s %14.0f %12.1f %14.1f %12.5f\n", size == 100 ? "100 B" : "64 KiB",
                  codec ? std::string(codec->text()).c_str() : "none", static_cast<double>(f.envelopes) / f.seconds,
                  rate / 1e6, base_rate / 1e6, rate / base_rate);
    }
  }
  return sink.checksum == 0 ? 1 : 0;
}
