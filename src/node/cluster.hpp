// The configuration a node runtime starts from: a member node's, read from its cluster
// configuration object, or a client's, built from `Cluster::at` and the client's arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/backoff.hpp"
#include "net/compress.hpp"
#include "net/limits.hpp"
#include "net/tls.hpp"

namespace vorel::node {

struct Cluster {
  std::string bind;
  std::optional<std::string> advertise;
  std::vector<std::string> seeds;
  std::string name = "vorel";
  core::Duration heartbeat{1, 0};
  core::Duration suspect_after{5, 0};
  core::Duration dead_after{10, 0};
  std::optional<core::Duration> remove_after = core::Duration{60, 0};
  core::Duration anti_entropy{10, 0};
  core::Duration graft_after{0, 500'000'000};
  core::Duration shuffle_every{30, 0};
  std::uint64_t active = 5;
  std::uint64_t passive = 30;
  std::uint32_t join_walk = 6;
  std::uint32_t passive_walk = 3;
  std::optional<net::Tls> tls;
  // None: the start offers zstd, lz4 and zlib.
  std::optional<std::vector<net::compress::Name>> codecs;
  std::uint64_t min_bytes = 4096;
  net::Limits limits{262'144, 4'194'304, 262'144};
  core::Duration write_timeout{5, 0};
  core::Duration leave_timeout{30, 0};
  core::Backoff backoff{2.0, core::Duration{0, 100'000'000}, core::Duration{10, 0}};

  // The defaults, listening on `bind`.
  static Cluster at(std::string bind) {
    Cluster c;
    c.bind = std::move(bind);
    return c;
  }
};

}  // namespace vorel::node
