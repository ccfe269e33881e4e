#include "core/schedule.hpp"

#include <algorithm>
#include <bit>

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

namespace {

// From this size on an allocation is apt to be mapped afresh rather than taken from the heap.
constexpr std::size_t kRounded = 64 * 1024;

void write_head(Bytes& out, std::size_t count) {
  msgpack::write_array(out, 2);
  msgpack::write_str(out, kTag);
  msgpack::write_map(out, 1);
  msgpack::write_str(out, kSchedules);
  msgpack::write_array(out, count);
}

struct Due {
  std::size_t at = 0;  // from the element's start
  std::uint8_t size = 0;
};

// One element of the record; where its due time's integer lies in it.
Due write_element(Bytes& out, const Schedule& schedule) {
  const std::size_t start = out.size();
  msgpack::write_map(out, 4);
  msgpack::write_str(out, kName);
  msgpack::write_str(out, schedule.name);
  msgpack::write_str(out, kMessage);
  msgpack::write_bin(out, schedule.message);
  msgpack::write_str(out, kDue);
  const std::size_t due_at = out.size() - start;
  msgpack::write_int(out, schedule.due);
  const auto due_size = static_cast<std::uint8_t>(out.size() - start - due_at);
  msgpack::write_str(out, kEvery);
  if (schedule.every) {
    msgpack::write_uint(out, *schedule.every);
  } else {
    msgpack::write_nil(out);
  }
  return Due{due_at, due_size};
}

}  // namespace

Bytes encode(std::span<const Schedule> schedules) {
  Bytes out;
  write_head(out, schedules.size());
  for (const auto& schedule : schedules) write_element(out, schedule);
  return out;
}

std::vector<Encoded::Slot>::iterator Encoded::find(std::uint64_t number) {
  return std::lower_bound(slots_.begin(), slots_.end(), number,
                          [](const Slot& slot, std::uint64_t n) { return slot.number < n; });
}

void Encoded::splice(std::size_t at, std::size_t size, ByteView with) {
  const auto first = body_.begin() + static_cast<std::ptrdiff_t>(at);
  if (with.size() >= size) {
    std::copy(with.begin(), with.begin() + static_cast<std::ptrdiff_t>(size), first);
    body_.insert(first + static_cast<std::ptrdiff_t>(size), with.begin() + static_cast<std::ptrdiff_t>(size), with.end());
  } else {
    std::copy(with.begin(), with.end(), first);
    body_.erase(first + static_cast<std::ptrdiff_t>(with.size()), first + static_cast<std::ptrdiff_t>(size));
  }
  const std::size_t end = at + size;
  for (Slot& slot : slots_) {
    if (slot.at >= end) slot.at = slot.at + with.size() - size;
  }
}

void Encoded::put(std::uint64_t number, const Schedule& schedule) {
  Bytes element;
  const Due due = write_element(element, schedule);
  auto it = find(number);
  if (it != slots_.end() && it->number == number) {
    if (it->live) {
      --live_;
    } else {
      dead_bytes_ -= it->size;
    }
    const std::size_t at = it->at, size = it->size;
    const std::size_t index = static_cast<std::size_t>(it - slots_.begin());
    splice(at, size, element);
    it = slots_.begin() + static_cast<std::ptrdiff_t>(index);
  } else {
    const std::size_t at = it == slots_.end() ? body_.size() : it->at;
    if (it == slots_.end()) {
      body_.insert(body_.end(), element.begin(), element.end());
    } else {
      const std::size_t index = static_cast<std::size_t>(it - slots_.begin());
      splice(at, 0, element);
      it = slots_.begin() + static_cast<std::ptrdiff_t>(index);
    }
    it = slots_.insert(it, Slot{number, at, 0, 0, 0, false});
  }
  it->size = element.size();
  it->due_at = due.at;
  it->due_size = due.size;
  it->live = true;
  ++live_;
}

bool Encoded::remove(std::uint64_t number) {
  auto it = find(number);
  if (it == slots_.end() || it->number != number || !it->live) return false;
  it->live = false;
  --live_;
  dead_bytes_ += it->size;
  // Removed elements at the end cost nothing to drop.
  while (!slots_.empty() && !slots_.back().live) {
    dead_bytes_ -= slots_.back().size;
    body_.resize(slots_.back().at);
    slots_.pop_back();
  }
  if (dead_bytes_ > body_.size() / 2) compact();
  return true;
}

bool Encoded::redue(std::uint64_t number, std::int64_t due) {
  auto it = find(number);
  if (it == slots_.end() || it->number != number || !it->live) return false;
  Bytes integer;
  msgpack::write_int(integer, due);
  const std::size_t at = it->at + it->due_at;
  if (integer.size() == it->due_size) {
    std::copy(integer.begin(), integer.end(), body_.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
  }
  const std::size_t index = static_cast<std::size_t>(it - slots_.begin());
  splice(at, it->due_size, integer);
  Slot& slot = slots_[index];
  slot.size = slot.size + integer.size() - slot.due_size;
  slot.due_size = static_cast<std::uint8_t>(integer.size());
  return true;
}

void Encoded::compact() {
  Bytes body;
  body.reserve(body_.size() - dead_bytes_);
  std::vector<Slot> slots;
  slots.reserve(live_);
  for (Slot slot : slots_) {
    if (!slot.live) continue;
    const auto first = body_.begin() + static_cast<std::ptrdiff_t>(slot.at);
    slot.at = body.size();
    body.insert(body.end(), first, first + static_cast<std::ptrdiff_t>(slot.size));
    slots.push_back(slot);
  }
  body_ = std::move(body);
  slots_ = std::move(slots);
  dead_bytes_ = 0;
}

void Encoded::clear() {
  slots_.clear();
  body_.clear();
  live_ = 0;
  dead_bytes_ = 0;
}

Bytes Encoded::bytes() const {
  Bytes out;
  // A large page that grows by one schedule at a time is asked for at a new size on every change.
  // In steps of powers of two the allocator finds the block the last page gave back, where a page
  // a little larger each time would be freshly mapped memory, every page of it faulted in.
  const std::size_t size = 32 + body_.size() - dead_bytes_;
  out.reserve(size < kRounded ? size : std::bit_ceil(size));
  write_head(out, live_);
  if (dead_bytes_ == 0) {
    out.insert(out.end(), body_.begin(), body_.end());
    return out;
  }
  // Runs of live elements lie side by side in the body: each run is one copy.
  std::size_t run = 0, end = 0;
  for (const Slot& slot : slots_) {
    if (!slot.live) continue;
    if (slot.at != end) {
      out.insert(out.end(), body_.begin() + static_cast<std::ptrdiff_t>(run), body_.begin() + static_cast<std::ptrdiff_t>(end));
      run = slot.at;
    }
    end = slot.at + slot.size;
  }
  out.insert(out.end(), body_.begin() + static_cast<std::ptrdiff_t>(run), body_.begin() + static_cast<std::ptrdiff_t>(end));
  return out;
}

Result<std::vector<Schedule>> decode(ByteView bytes) {
  // A repeated "schedules" key replaces the earlier array instead of adding to it.
  return tagged_field<std::vector<Schedule>>(bytes, kTag, kSchedules, read_list);
}

}  // namespace vorel::core::schedule
