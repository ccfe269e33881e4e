#include "py/schema/values.hpp"

#include <limits>
#include <optional>
#include <utility>

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

// Microseconds as whole days and the microseconds of the day left (0 to a day), as a timedelta keeps them.
std::pair<std::int64_t, std::int64_t> split(std::int64_t microseconds) {
  constexpr std::int64_t kDay = 86'400 * kSecond;
  std::int64_t days = microseconds / kDay;
  std::int64_t rest = microseconds % kDay;
  if (rest < 0) {
    --days;
    rest += kDay;
  }
  return {days, rest};
}

// A wall time in the proleptic Gregorian calendar of a datetime.
struct Civil {
  std::int64_t year, month, day, hour, minute, second, microsecond;
};

// The wall time `microseconds` after 1970-01-01T00:00, when its year is one a datetime holds.
std::optional<Civil> civil(std::int64_t microseconds) {
  const auto [days, rest] = split(microseconds);
  // Days to year, month and day: shifted to eras of 400 years that begin on 0000-03-01.
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  if (year < 1 || year > 9999) return std::nullopt;
  const std::int64_t seconds = rest / kSecond;
  return Civil{year,          month,                doy - (153 * mp + 2) / 5 + 1, seconds / 3600, seconds / 60 % 60,
               seconds % 60, rest % kSecond};
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
      {&Names::name, "_name_"},         {&Names::items, "items"},             {&Names::tzinfo, "tzinfo"},
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
  if (offset == 0) return utc;  // what timezone(timedelta(0)) gives
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
  // The datetime is made from its fields when the instant and its wall time are both within the
  // years a datetime holds: a timedelta, which the sum needs, is slow to make. Beyond those years
  // the sum raises the error it raises.
  std::int64_t local = 0;
  const auto instant = civil(microseconds);
  const auto wall = __builtin_add_overflow(microseconds, offset * kSecond, &local) ? std::nullopt : civil(local);
  if (instant && wall) {
    const Civil& c = *wall;
    VOREL_TRY(tz, zone(offset));
    Object fields[7];
    const std::int64_t values[7] = {c.year, c.month, c.day, c.hour, c.minute, c.second, c.microsecond};
    for (int i = 0; i < 7; ++i) {
      VOREL_TRY(n, number(values[i]));
      fields[i] = std::move(n);
    }
    return done(call(datetime.get(), fields[0].get(), fields[1].get(), fields[2].get(), fields[3].get(),
                     fields[4].get(), fields[5].get(), fields[6].get(), tz.get()));
  }
  VOREL_TRY(delta, duration(microseconds));
  Object at = Object::steal(PyNumber_Add(epoch.get(), delta.get()));
  if (!at) return raised();
  // The sum already carries the epoch's UTC, and UTC's astimezone is the datetime itself.
  if (offset == 0) return at;
  VOREL_TRY(tz, zone(offset));
  return done(call_method(at.get(), names.astimezone.get(), tz.get()));
}

Result<Object> Values::duration(std::int64_t microseconds) const {
  // Given in the parts it keeps (days, seconds, microseconds), the timedelta need not normalise a
  // large count itself, which it does slowly; the value is the same.
  const auto [days, rest] = split(microseconds);
  VOREL_TRY(d, number(days));
  VOREL_TRY(s, number(rest / kSecond));
  VOREL_TRY(us, number(rest % kSecond));
  return done(call(timedelta.get(), d.get(), s.get(), us.get()));
}

}  // namespace vorel::py::schema
