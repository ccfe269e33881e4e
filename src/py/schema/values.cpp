#include "py/schema/values.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "py/schema/bare.hpp"
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

std::uint64_t big_endian(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
  return v;
}

// The datetime of a wall time at a zone, called with its fields.
Result<Object> from_fields(const Values& values, const Civil& c, PyObject* tz) {
  Object fields[7];
  const std::int64_t parts[7] = {c.year, c.month, c.day, c.hour, c.minute, c.second, c.microsecond};
  for (int i = 0; i < 7; ++i) {
    VOREL_TRY(n, number(parts[i]));
    fields[i] = std::move(n);
  }
  return done(call(values.datetime.get(), fields[0].get(), fields[1].get(), fields[2].get(), fields[3].get(),
                   fields[4].get(), fields[5].get(), fields[6].get(), tz));
}

// The state a datetime pickles as: ten bytes (the year in two, then month, day, hour, minute,
// second, and the microsecond in three, all big-endian), which its class reads back, given with
// the zone, straight into its fields.
using State = std::array<char, 10>;

State state_of(const Civil& c) {
  return {static_cast<char>(c.year >> 8),   static_cast<char>(c.year & 0xff),
          static_cast<char>(c.month),       static_cast<char>(c.day),
          static_cast<char>(c.hour),        static_cast<char>(c.minute),
          static_cast<char>(c.second),      static_cast<char>(c.microsecond >> 16),
          static_cast<char>(c.microsecond >> 8 & 0xff), static_cast<char>(c.microsecond & 0xff)};
}

Civil civil_of(const char* state) {
  const auto byte = [state](int i) { return static_cast<std::int64_t>(static_cast<unsigned char>(state[i])); };
  // The high bit of the month is the fold, which a datetime at UTC has no use for.
  return Civil{byte(0) << 8 | byte(1), byte(2) & 0x7f, byte(3), byte(4), byte(5), byte(6),
               byte(7) << 16 | byte(8) << 8 | byte(9)};
}

std::uint64_t to_big_endian(std::uint64_t v) {
  return std::endian::native == std::endian::big ? v : __builtin_bswap64(v);
}

// The modulus of the hash of an int on a 64-bit interpreter: the hash of n >= 0 is n modulo it.
constexpr std::uint64_t kHashModulus = (std::uint64_t{1} << 61) - 1;

std::uint64_t modulo_hash(std::uint64_t n) {
  const std::uint64_t folded = (n & kHashModulus) + (n >> 61);  // 2**61 is 1 modulo it
  return folded >= kHashModulus ? folded - kHashModulus : folded;
}

// The high 64 bits of an int n of 64 to 128 bits from what is read of it without making an object: its
// low 64 bits, its hash (n modulo 2**61-1) and n as a double. 2**64 is 8 modulo 2**61-1, so the hash
// less the low bits is 8 times the high half modulo it; of the nine values below 2**64 with that
// remainder, the double, 2**11 off at most, tells which is the one. None when the three do not
// agree, which an int's hash of that modulus never gives.
std::optional<std::uint64_t> high_half(std::uint64_t low, std::uint64_t hash, double approximate) {
  const std::uint64_t eightfold = modulo_hash(hash + kHashModulus - modulo_hash(low));
  // Divided by 8 modulo 2**61-1: times 2**58, a rotation of its 61 bits by 3.
  const std::uint64_t remainder = (eightfold >> 3) | ((eightfold & 7) << 58);
  const double k = std::nearbyint((approximate / 0x1p64 - static_cast<double>(remainder)) / static_cast<double>(kHashModulus));
  if (!(k >= 0 && k <= 8)) return std::nullopt;
  std::uint64_t high = 0;
  if (__builtin_add_overflow(remainder, static_cast<std::uint64_t>(k) * kHashModulus, &high)) return std::nullopt;
  return high;
}

Result<Object> from_state(const Values& values, const Civil& c, PyObject* tz) {
  const State state = state_of(c);
  Object bytes = Object::steal(PyBytes_FromStringAndSize(state.data(), state.size()));
  if (!bytes) return raised();
  return done(call(values.datetime.get(), bytes.get(), tz));
}

// The state and zone a datetime pickles as, when its __reduce__ gives (class, (state, zone)).
struct Reduced {
  Object whole;  // keeps the state's bytes alive
  const char* state = nullptr;
  PyObject* zone = nullptr;
};

Result<std::optional<Reduced>> reduced(const Values& values, PyObject* value) {
  Reduced r;
  r.whole = call_method(value, values.names.reduce.get());
  if (!r.whole) return raised();
  if (!PyTuple_Check(r.whole.get()) || PyTuple_Size(r.whole.get()) != 2) return std::nullopt;
  PyObject* args = PyTuple_GetItem(r.whole.get(), 1);
  if (!PyTuple_Check(args) || PyTuple_Size(args) != 2) return std::nullopt;
  PyObject* state = PyTuple_GetItem(args, 0);
  if (!PyBytes_Check(state) || PyBytes_Size(state) != static_cast<Py_ssize_t>(State().size())) return std::nullopt;
  r.state = PyBytes_AsString(state);
  r.zone = PyTuple_GetItem(args, 1);
  return r;
}

}  // namespace

Result<void> Values::choose_makers() {
  VOREL_TRY(moments, attributes::Plan::of(datetime.get(), names.moment_parts));
  moment_reading = std::move(moments);
  moment_ordinal = Object::steal(PyObject_GetAttr(datetime.get(), names.toordinal.get()));
  if (!moment_ordinal) return raised();
  VOREL_TRY(identifiers, attributes::Plan::of(uuid.get(), std::span<const Object>(names.uuid_fields, 1)));
  identifier_reading = std::move(identifiers);
  int_compare = reinterpret_cast<richcmpfunc>(PyType_GetSlot(&PyLong_Type, Py_tp_richcompare));
  int_shift = reinterpret_cast<binaryfunc>(PyType_GetSlot(&PyLong_Type, Py_nb_rshift));
  if (int_compare == nullptr || int_shift == nullptr) return raised();
  half_identifier = Object::steal(PyLong_FromLong(64));
  if (!half_identifier) return raised();
  Object one = Object::steal(PyLong_FromLong(1));
  Object width = Object::steal(PyLong_FromLong(128));
  if (!one || !width) return raised();
  identifier_bound = Object::steal(PyNumber_Lshift(one.get(), width.get()));
  if (!identifier_bound) return raised();
  // The high half of an int is found through its hash only where the interpreter hashes ints modulo
  // 2**61-1, and where that gives what the shift gives for ints of every size up to 128 bits.
  hashed_identifier = false;
  Object sys = import("sys");
  Object info = sys ? attr(sys.get(), "hash_info") : Object();
  Object modulus = info ? attr(info.get(), "modulus") : Object();
  if (!modulus) return raised();
  if (PyLong_AsUnsignedLongLongMask(modulus.get()) == kHashModulus && PyLong_AsDouble(modulus.get()) == 0x1p61) {
    std::vector<Object> samples;
    for (const char* digits : {"ffffffffffffffff", "10000000000000000", "1fffffffffffffffe", "ffffffffffffffffffffffffffffffff",
                               "12345678123456781234567812345678", "80000000000000000000000000000000",
                               "fffffffffffff800ffffffffffffffff", "1fffffffffffffff1fffffffffffffff"}) {
      Object sample = Object::steal(PyLong_FromString(digits, nullptr, 16));
      if (!sample) return raised();
      samples.push_back(std::move(sample));
    }
    std::vector<std::optional<std::pair<std::uint64_t, std::uint64_t>>> shifted;
    for (const Object& sample : samples) shifted.push_back(identifier_halves(sample.get()));
    hashed_identifier = true;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      if (!shifted[i] || identifier_halves(samples[i].get()) != shifted[i]) hashed_identifier = false;
    }
    if (PyErr_Occurred()) return raised();
  }

  // Datetimes are made from their state, and read through it, only where the state of a wall time
  // with every field set is what this interpreter's datetime reads and gives back, at UTC and at
  // another zone, for a datetime made both ways.
  pickled_moment = false;
  VOREL_TRY(east, zone(5 * 3600 + 30 * 60));
  for (PyObject* tz : {utc.get(), east.get()}) {
    const Civil sample{2024, 12, 31, 23, 58, 59, 987654};
    VOREL_TRY(called, from_fields(*this, sample, tz));
    auto made = from_state(*this, sample, tz);
    if (!made) return {};  // this datetime does not read that state: it is called
    for (PyObject* each : {called.get(), made->get()}) {
      VOREL_TRY(r, reduced(*this, each));
      if (!r || r->zone != tz || !Py_IS_TYPE(each, reinterpret_cast<PyTypeObject*>(datetime.get()))) return {};
      const Civil back = civil_of(r->state);
      if (state_of(back) != state_of(sample)) return {};
    }
  }
  pickled_moment = true;

  // A UUID is made bare only where its class stores the two fields its __init__ stores and
  // nothing else, and makes the same value and safety that way.
  uuid_unknown = Object();
  auto* cls = reinterpret_cast<PyTypeObject*>(uuid.get());
  if (PyType_GetSlot(Py_TYPE(uuid.get()), Py_tp_call) != PyType_GetSlot(&PyType_Type, Py_tp_call) ||
      PyType_GetSlot(cls, Py_tp_new) != PyType_GetSlot(&PyBaseObject_Type, Py_tp_new)) {
    return {};
  }
  Object slots = attr(uuid.get(), "__slots__");
  Object weakref = text("__weakref__");
  if (!slots || !weakref) return raised();
  Object expected = Object::steal(PyTuple_Pack(3, names.uuid_fields[0].get(), names.uuid_fields[1].get(), weakref.get()));
  if (!expected) return raised();
  const int same_slots = PyObject_RichCompareBool(slots.get(), expected.get(), Py_EQ);
  if (same_slots < 0) return raised();
  if (same_slots == 0) return {};
  Object module = import("uuid");
  if (!module) return raised();
  Object safety = attr(module.get(), "SafeUUID");
  if (!safety) return raised();
  Object unknown = attr(safety.get(), "unknown");
  if (!unknown) return raised();
  std::uint8_t sample[16];
  for (int i = 0; i < 16; ++i) sample[i] = static_cast<std::uint8_t>(0xf0 - 7 * i);
  VOREL_TRY(called, identifier(sample));
  uuid_unknown = std::move(unknown);
  auto bare = identifier(sample);
  uuid_unknown = Object();
  if (!bare) return std::unexpected(std::move(bare.error()));
  const int equal = PyObject_RichCompareBool(called.get(), bare->get(), Py_EQ);
  if (equal < 0) return raised();
  Object called_safety = attr(called.get(), "is_safe");
  Object bare_safety = attr(bare->get(), "is_safe");
  if (!called_safety || !bare_safety) return raised();
  if (equal == 1 && Py_IS_TYPE(bare->get(), cls) && called_safety.get() == bare_safety.get()) {
    uuid_unknown = std::move(bare_safety);
  }
  return {};
}

Result<std::optional<std::int64_t>> Values::utc_instant(PyObject* value) const {
  PyObject* type = datetime.get();
  if (!Py_IS_TYPE(value, reinterpret_cast<PyTypeObject*>(type))) return std::nullopt;
  // The parts are the class's own descriptors, called as the lookup would call them.
  const auto part = [&](std::size_t i) { return moment_reading.ways[i].read(value, type, names.moment_parts[i].get()); };
  Object zone = part(7);
  if (!zone) return raised();
  if (zone.get() != utc.get()) return std::nullopt;
  // The date as its ordinal, one call where its three parts would be three.
  Object ordinal = call(moment_ordinal.get(), value);
  if (!ordinal) return raised();
  std::int64_t p[7];
  p[0] = PyLong_AsLong(ordinal.get());
  if (p[0] == -1 && PyErr_Occurred()) return raised();
  for (std::size_t i = 3; i < 7; ++i) {
    Object n = part(i);
    if (!n) return raised();
    p[i] = PyLong_AsLong(n.get());
    if (p[i] == -1 && PyErr_Occurred()) return raised();
  }
  return (((p[0] - kEpochOrdinal) * 24 + p[3]) * 60 + p[4]) * 60 * kSecond + p[5] * kSecond + p[6];
}

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
      {&Names::reduce, "__reduce__"},
  };
  for (const Entry& e : kEntries) {
    n.*e.member = Object::steal(PyUnicode_InternFromString(e.text));
    if (!(n.*e.member)) return raised();
  }
  n.bytes_keyword = Object::steal(PyTuple_Pack(1, n.bytes.get()));
  if (!n.bytes_keyword) return raised();
  const char* uuid_fields[] = {"int", "is_safe"};
  for (int i = 0; i < 2; ++i) {
    n.uuid_fields[i] = Object::steal(PyUnicode_InternFromString(uuid_fields[i]));
    if (!n.uuid_fields[i]) return raised();
  }
  const char* moment_parts[] = {"year", "month", "day", "hour", "minute", "second", "microsecond", "tzinfo"};
  for (int i = 0; i < 8; ++i) {
    n.moment_parts[i] = Object::steal(PyUnicode_InternFromString(moment_parts[i]));
    if (!n.moment_parts[i]) return raised();
  }
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
    VOREL_TRY(tz, zone(offset));
    return pickled_moment ? from_state(*this, *wall, tz.get()) : from_fields(*this, *wall, tz.get());
  }
  VOREL_TRY(delta, duration(microseconds));
  Object at = Object::steal(PyNumber_Add(epoch.get(), delta.get()));
  if (!at) return raised();
  // The sum already carries the epoch's UTC, and UTC's astimezone is the datetime itself.
  if (offset == 0) return at;
  VOREL_TRY(tz, zone(offset));
  return done(call_method(at.get(), names.astimezone.get(), tz.get()));
}

Result<Object> Values::identifier(const std::uint8_t* bytes) const {
  if (!uuid_unknown) {
    Object b = bytes_of(std::span(bytes, 16));
    if (!b) return raised();
    PyObject* args[] = {nullptr, b.get()};
    return done(Object::steal(
        PyObject_Vectorcall(uuid.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, names.bytes_keyword.get())));
  }
  // int.from_bytes(bytes), as UUID's __init__ makes it, in two 64-bit halves.
  const std::uint64_t high = big_endian(bytes);
  Object n = Object::steal(PyLong_FromUnsignedLongLong(big_endian(bytes + 8)));
  if (!n) return raised();
  if (high != 0) {
    Object h = Object::steal(PyLong_FromUnsignedLongLong(high));
    Object shift = Object::steal(PyLong_FromLong(64));
    if (!h || !shift) return raised();
    Object shifted = Object::steal(PyNumber_Lshift(h.get(), shift.get()));
    if (!shifted) return raised();
    n = Object::steal(PyNumber_Or(shifted.get(), n.get()));
    if (!n) return raised();
  }
  PyObject* fields[] = {n.get(), uuid_unknown.get()};
  return bare::made(uuid.get(), names.uuid_fields, fields);
}

bool Values::identifier_bytes(PyObject* value, std::uint8_t* out) const {
  if (!uuid_unknown || !Py_IS_TYPE(value, reinterpret_cast<PyTypeObject*>(uuid.get()))) return false;
  // The class's lookup is asked again, as a reading asks it: a __getattribute__ given to it since is honoured.
  PyObject* name = names.uuid_fields[0].get();
  Object n = attributes::generic(uuid.get()) ? identifier_reading.ways[0].read(value, uuid.get(), name)
                                             : Object::steal(PyObject_GetAttr(value, name));
  if (n && PyLong_CheckExact(n.get())) {
    if (auto halves = identifier_halves(n.get())) {
      const std::uint64_t big[2] = {to_big_endian(halves->first), to_big_endian(halves->second)};
      std::memcpy(out, big, sizeof big);
      return true;
    }
  }
  PyErr_Clear();  // `bytes` gives the error of such a value, if it has one
  return false;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> Values::identifier_halves(PyObject* n) const {
  // Its sign, its magnitude and its top 53 bits, all without making an object.
  const double approximate = PyLong_AsDouble(n);
  if (approximate < 0) return std::nullopt;  // negative, or beyond a double with the error set
  constexpr double kHalf = 0x1p64, kWhole = 0x1p128;
  if (approximate >= kWhole) {
    // 2**128 is also what the ints just below it round to.
    if (approximate > kWhole || Object::steal(int_compare(n, identifier_bound.get(), Py_LT)).get() != Py_True) {
      return std::nullopt;
    }
  }
  const std::uint64_t low = PyLong_AsUnsignedLongLongMask(n);
  if (approximate < kHalf) return std::pair(std::uint64_t{0}, low);
  if (hashed_identifier) {
    const Py_hash_t hash = PyObject_Hash(n);
    if (hash == -1) return std::nullopt;
    if (auto high = high_half(low, static_cast<std::uint64_t>(hash), approximate)) return std::pair(*high, low);
    return std::nullopt;
  }
  Object high = Object::steal(int_shift(n, half_identifier.get()));
  if (!high) return std::nullopt;
  return std::pair(PyLong_AsUnsignedLongLongMask(high.get()), low);
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
