#include "py/schema/values.hpp"

#include <limits>

#include "py/schema/read.hpp"

namespace vorel::py::schema {

namespace {

constexpr std::int64_t kEpochOrdinal = 719163;  // date(1970, 1, 1).toordinal()
constexpr std::int64_t kSecond = 1'000'000;

Result<Object> number(std::int64_t n) {
  Object o = Object::steal(PyLong_FromLongLong(n));
  if (!o) return raised();
  return o;
}

Result<Object> done(Object o) {
  if (!o) return raised();
  return o;
}

}  // namespace

Result<Names> Names::new_() {
  Names n;
  struct Entry {
    Object Names::*member;
    const char* text;
  };
  constexpr Entry kEntries[] = {
      {&Names::utcoffset, "utcoffset"}, {&Names::astimezone, "astimezone"},   {&Names::toordinal, "toordinal"},
      {&Names::fromordinal, "fromordinal"}, {&Names::days, "days"},           {&Names::seconds, "seconds"},
      {&Names::microseconds, "microseconds"}, {&Names::hour, "hour"},         {&Names::minute, "minute"},
      {&Names::second, "second"},       {&Names::microsecond, "microsecond"}, {&Names::bytes, "bytes"},
      {&Names::name, "_name_"},         {&Names::items, "items"},
  };
  for (const Entry& e : kEntries) {
    n.*e.member = Object::steal(PyUnicode_InternFromString(e.text));
    if (!(n.*e.member)) return raised();
  }
  n.bytes_keyword = Object::steal(PyTuple_Pack(1, n.bytes.get()));
  if (!n.bytes_keyword) return raised();
  return n;
}

Result<bool> Values::is_date(PyObject* value) const {
  VOREL_TRY(is_day, read::instance(value, date.get()));
  if (!is_day) return false;
  VOREL_TRY(is_moment, read::instance(value, datetime.get()));
  return !is_moment;
}

Result<Object> Values::day(std::int64_t days) const {
  const std::int64_t ordinal =
      days > std::numeric_limits<std::int64_t>::max() - kEpochOrdinal ? std::numeric_limits<std::int64_t>::max()
                                                                       : days + kEpochOrdinal;
  VOREL_TRY(n, number(ordinal));
  return done(call_method(date.get(), names.fromordinal.get(), n.get()));
}

Result<Object> Values::zone(std::int64_t offset) const {
  VOREL_TRY(zero, number(0));
  VOREL_TRY(seconds, number(offset));
  Object delta = call(timedelta.get(), zero.get(), seconds.get());
  if (!delta) return raised();
  return done(call(timezone.get(), delta.get()));
}

Result<Object> Values::clock(std::int64_t microseconds, std::int64_t offset) const {
  std::int64_t s = microseconds / kSecond;
  if (microseconds % kSecond < 0) --s;  // floor, so the microsecond is never negative
  const std::int64_t hour = s / 3600;
  VOREL_TRY(h, number(hour));
  VOREL_TRY(m, number(s / 60 - hour * 60));
  VOREL_TRY(sec, number(s % 60));
  VOREL_TRY(us, number(microseconds - s * kSecond));
  VOREL_TRY(tz, zone(offset));
  return done(call(time.get(), h.get(), m.get(), sec.get(), us.get(), tz.get()));
}

Result<Object> Values::moment(std::int64_t microseconds, std::int64_t offset) const {
  VOREL_TRY(delta, duration(microseconds));
  Object at = Object::steal(PyNumber_Add(epoch.get(), delta.get()));
  if (!at) return raised();
  // The sum already carries the epoch's UTC, and UTC's astimezone is the datetime itself.
  if (offset == 0) return at;
  VOREL_TRY(tz, zone(offset));
  return done(call_method(at.get(), names.astimezone.get(), tz.get()));
}

Result<Object> Values::duration(std::int64_t microseconds) const {
  VOREL_TRY(zero, number(0));
  VOREL_TRY(us, number(microseconds));
  return done(call(timedelta.get(), zero.get(), zero.get(), us.get()));
}

}  // namespace vorel::py::schema
