// The settings of a cluster read from Python objects by attribute: any object with the attributes
// serves, and the defaults of those attributes belong to the Python package.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/backoff.hpp"
#include "node/cluster.hpp"
#include "py/object.hpp"

namespace vorel::py {
struct NodeConfig;
}  // namespace vorel::py

namespace vorel::py::cluster {

// The whole configuration of a member node from a cluster configuration object, read attribute by
// attribute in a fixed order that stops at the first refusal; write_timeout, leave_timeout and
// backoff come from the system's own settings, and no address map is set. Refuses, before any
// thread starts, what the membership or the transport could not run with. None with the error set.
std::optional<vorel::node::Cluster> settings(PyObject* object, const NodeConfig& config);

// A period between two rounds: a timedelta, neither negative nor zero; none with the error set.
std::optional<core::Duration> every(const char* name, PyObject* value);
// None gives no TLS; otherwise its cert, key, ca and require_client_cert, read in that order.
std::optional<std::optional<net::Tls>> tls(PyObject* value);
// The codecs of a compression object; none when its `codecs` is None.
std::optional<std::optional<std::vector<net::compress::Name>>> compressed(PyObject* compression);
// The frame, message and window of a limits object, with the transport's fixed durations; sizes the
// transport cannot carry are refused with its own text.
std::optional<net::Limits> limits(PyObject* object);
// A sequence of str (a str itself is refused), in order; none with a TypeError naming `name`.
std::optional<std::vector<std::string>> texts(const char* name, PyObject* value);
// An int from 0 to 2^64 - 1; none with the conversion's error.
std::optional<std::uint64_t> unsigned64(PyObject* value);

}  // namespace vorel::py::cluster
