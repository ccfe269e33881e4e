#include "core/schedule.hpp"

#include "core/tagged.hpp"
#include "core/wire.hpp"

namespace vorel::core::schedule {

using msgpack::Malformed;
using msgpack::Result;

namespace {

constexpr std::string_view kTag = "Schedules";
constexpr std::string_view kSchedules = "schedules";
constexpr std::string_view kName = "name";
constexpr std::string_view kMessage = "message";
constexpr std::string_view kDue = "due";
constexpr std::string_view kEvery = "every";

Result<Schedule> read_one(wire::Reading& reading) {
  auto entries = reading.read_map_len();
  if (!entries) return std::unexpected(entries.error());
  Schedule schedule;
  bool named = false, carried = false, timed = false;
  for (std::uint64_t i = 0; i < *entries; ++i) {
    auto key = reading.read_str();
    if (!key) return std::unexpected(key.error());
    if (*key == kName) {
      auto name = reading.text();
      if (!name) return std::unexpected(name.error());
      schedule.name = std::move(*name);
      named = true;
    } else if (*key == kMessage) {
      auto message = reading.bytes();
      if (!message) return std::unexpected(message.error());
      schedule.message = std::move(*message);
      carried = true;
    } else if (*key == kDue) {
      auto due = reading.int_();
      if (!due) return std::unexpected(due.error());
      schedule.due = *due;
      timed = true;
    } else if (*key == kEvery) {
      auto none = reading.nil();
      if (!none) return std::unexpected(none.error());
      if (*none) {
        schedule.every.reset();
      } else {
        auto every = reading.unsigned_();
        if (!every) return std::unexpected(every.error());
        schedule.every = *every;
      }
    } else if (auto skipped = reading.skip(); !skipped) {
      return std::unexpected(skipped.error());
    }
  }
  if (!named || !carried || !timed) return std::unexpected(Malformed::truncated());
  return schedule;
}

Result<std::vector<Schedule>> read_list(wire::Reading& reading) {
  auto count = reading.items();
  if (!count) return std::unexpected(count.error());
  // Grown one element at a time: the count is bounded by the bytes left, but an element of
  // one byte must not be worth a whole Schedule of memory up front.
  std::vector<Schedule> list;
  for (std::uint64_t i = 0; i < *count; ++i) {
    auto schedule = read_one(reading);
    if (!schedule) return std::unexpected(schedule.error());
    list.push_back(std::move(*schedule));
  }
  return list;
}

}  // namespace

Bytes encode(std::span<const Schedule> schedules) {
  Bytes out;
  msgpack::write_array(out, 2);
  msgpack::write_str(out, kTag);
  msgpack::write_map(out, 1);
  msgpack::write_str(out, kSchedules);
  msgpack::write_array(out, schedules.size());
  for (const auto& schedule : schedules) {
    msgpack::write_map(out, 4);
    msgpack::write_str(out, kName);
    msgpack::write_str(out, schedule.name);
    msgpack::write_str(out, kMessage);
    msgpack::write_bin(out, schedule.message);
    msgpack::write_str(out, kDue);
    msgpack::write_int(out, msgpack::Integer::of_signed(schedule.due));
    msgpack::write_str(out, kEvery);
    if (schedule.every) {
      msgpack::write_uint(out, *schedule.every);
    } else {
      msgpack::write_nil(out);
    }
  }
  return out;
}

Result<std::vector<Schedule>> decode(ByteView bytes) {
  // A repeated "schedules" key replaces the earlier array instead of adding to it.
  return tagged_field<std::vector<Schedule>>(bytes, kTag, kSchedules, read_list);
}

}  // namespace vorel::core::schedule
