// The classes and objects a schema writes and reads dates, decimals, UUIDs and mappings with,
// taken once when the schema is built so that no value looks anything up, and the conversions
// that build date and time objects from the numbers of their encodings.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "py/object.hpp"
#include "py/schema/attributes.hpp"
#include "py/schema/failure.hpp"

namespace vorel::py::schema {

// The attribute and method names the writer and the reader use, interned once per schema so
// that no value makes a str to look a name up.
struct Names {
  Object utcoffset, astimezone, toordinal, fromordinal;
  Object days, seconds, microseconds;
  Object hour, minute, second, microsecond;
  Object bytes, name, items, tzinfo, reduce;
  Object bytes_keyword;  // ("bytes",): the keyword of UUID(bytes=...)
  Object uuid_fields[2];  // "int" and "is_safe": what UUID's __init__ stores
  // What the instant of a datetime is read from: year, month, day, hour, minute, second,
  // microsecond, and its zone last.
  Object moment_parts[8];

  static Result<Names> new_();
};

struct Values {
  Object datetime, date, time, timedelta;
  Object decimal;
  Object uuid;
  Object mapping;   // collections.abc.Mapping
  Object timezone;  // datetime.timezone
  Object epoch;     // datetime(1970, 1, 1, tzinfo=UTC)
  Object utc;       // the epoch's zone, datetime.UTC
  Names names;
  // uuid.SafeUUID.unknown, which a UUID made from bytes holds, when UUIDs are made bare (their
  // fields stored as UUID's __init__ stores them); null: the class is called.
  Object uuid_unknown;
  // Whether a datetime is made from the state it pickles as, (bytes, tzinfo), which datetime reads
  // straight into its fields, instead of from eight arguments parsed by name.
  bool pickled_moment = false;
  // How the parts of a datetime and the int of a UUID are read from instances of those classes.
  attributes::Plan moment_reading, identifier_reading;
  Object moment_ordinal;  // the datetime class's own toordinal
  // How the 16 bytes of a UUID's int are taken from it: int's own comparison and right shift,
  // called without the operators' dispatch, against 2**128 and by 64, made once.
  richcmpfunc int_compare = nullptr;
  binaryfunc int_shift = nullptr;
  Object identifier_bound, half_identifier;
  // Whether the high half of such an int is read from its hash instead of a shift, which makes an int.
  bool hashed_identifier = false;

  // Finds out, once per schema, which of the quicker ways of making UUIDs and datetimes this
  // interpreter's classes make the same objects by (where one does not, the class is called), and
  // how their parts are read.
  Result<void> choose_makers();

  // A date that is not a datetime: the date of a datetime would lose its time.
  Result<bool> is_date(PyObject* value) const;
  // The date `days` days after 1970-01-01.
  Result<Object> day(std::int64_t days) const;
  // The fixed zone `offset` seconds east of UTC.
  Result<Object> zone(std::int64_t offset) const;
  // The time of day `microseconds` after midnight, at the fixed zone `offset`.
  Result<Object> clock(std::int64_t microseconds, std::int64_t offset) const;
  // The instant `microseconds` after the epoch, seen at the fixed zone `offset`.
  Result<Object> moment(std::int64_t microseconds, std::int64_t offset) const;
  Result<Object> duration(std::int64_t microseconds) const;
  // The microseconds since the epoch of a datetime of the class itself whose zone is UTC itself,
  // read from its parts; none for any other value, which is subtracted from the epoch.
  Result<std::optional<std::int64_t>> utc_instant(PyObject* value) const;
  // The UUID of 16 bytes, big-endian, as UUID(bytes=...) makes it.
  Result<Object> identifier(const std::uint8_t* bytes) const;
  // The 16 bytes of a UUID of the class itself, as its `bytes` makes them (int.to_bytes(16)),
  // without running that property; false when the value is another or holds anything but an int
  // of 128 bits, whose `bytes` is then read.
  bool identifier_bytes(PyObject* value, std::uint8_t* out) const;
  // The high and the low 64 bits of an exact int of 0 to 2**128; none for any other, with an error
  // set where reading it raised.
  std::optional<std::pair<std::uint64_t, std::uint64_t>> identifier_halves(PyObject* n) const;
};

}  // namespace vorel::py::schema
