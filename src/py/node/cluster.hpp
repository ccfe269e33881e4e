// The settings of a cluster read from Python objects by attribute: any object with the attributes
// serves, and the defaults of those attributes belong to the Python package.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/backoff.hpp"
#include "node/cluster.hpp"
#include "py/object.hpp"

namespace vorel::py::cluster {

// A period between two rounds: a timedelta, neither negative nor zero; none with the error set.
std::optional<core::Duration> every(const char* name, PyObject* value);
// None gives no TLS; otherwise its cert, key, ca and require_client_cert, read in that order.
std::optional<std::optional<net::Tls>> tls(PyObject* value);
// The codecs of a compression object; none when its `codecs` is None.
std::optional<std::optional<std::vector<net::compress::Name>>> compressed(PyObject* compression);
// The frame, message and window of a limits object, with the transport's fixed durations.
std::optional<net::Limits> limits(PyObject* object);
// A sequence of str (a str itself is refused), in order; none with a TypeError naming `name`.
std::optional<std::vector<std::string>> texts(const char* name, PyObject* value);
// An int from 0 to 2^64 - 1; none with the conversion's error.
std::optional<std::uint64_t> unsigned64(PyObject* value);

}  // namespace vorel::py::cluster
