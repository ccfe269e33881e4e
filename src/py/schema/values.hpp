// The classes and objects a schema writes and reads dates, decimals, UUIDs and mappings with,
// taken once when the schema is built so that no value looks anything up.
#pragma once

#include "py/object.hpp"

namespace vorel::py::schema {

struct Values {
  Object datetime, date, time, timedelta;
  Object decimal;
  Object uuid;
  Object mapping;   // collections.abc.Mapping
  Object timezone;  // datetime.timezone
  Object epoch;     // datetime(1970, 1, 1, tzinfo=UTC)
};

}  // namespace vorel::py::schema
