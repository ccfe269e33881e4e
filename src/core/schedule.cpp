#include "core/schedule.hpp"

#include <algorithm>

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

std::vector<Encoded::Slot>::iterator Encoded::slot_of(std::vector<Slot>& slots, std::uint64_t number) {
  return std::lower_bound(slots.begin(), slots.end(), number,
                          [](const Slot& slot, std::uint64_t n) { return slot.number < n; });
}

std::size_t Encoded::chunk_of(std::uint64_t number) const {
  auto it = std::upper_bound(chunks_.begin(), chunks_.end(), number,
                             [](std::uint64_t n, const Chunk& chunk) { return n < chunk.slots.front().number; });
  return it == chunks_.begin() ? 0 : static_cast<std::size_t>(it - chunks_.begin()) - 1;
}

Bytes& Encoded::own(Chunk& chunk, bool last) {
  if (chunk.shared) {
    auto copy = std::make_shared<Bytes>();
    // The last chunk is where schedules are appended: room for them saves growing it each time.
    copy->reserve(last ? std::max(kChunk, chunk.body->size()) : chunk.body->size());
    copy->assign(chunk.body->begin(), chunk.body->end());
    chunk.body = std::move(copy);
    chunk.shared = false;
  }
  return *chunk.body;
}

void Encoded::splice(Chunk& chunk, bool last, std::size_t at, std::size_t size, ByteView with) {
  Bytes& body = own(chunk, last);
  const auto first = body.begin() + static_cast<std::ptrdiff_t>(at);
  if (with.size() >= size) {
    std::copy(with.begin(), with.begin() + static_cast<std::ptrdiff_t>(size), first);
    body.insert(first + static_cast<std::ptrdiff_t>(size), with.begin() + static_cast<std::ptrdiff_t>(size), with.end());
  } else {
    std::copy(with.begin(), with.end(), first);
    body.erase(first + static_cast<std::ptrdiff_t>(with.size()), first + static_cast<std::ptrdiff_t>(size));
  }
  const std::size_t end = at + size;
  for (Slot& slot : chunk.slots) {
    if (slot.at >= end) slot.at = slot.at + with.size() - size;
  }
}

void Encoded::put(std::uint64_t number, const Schedule& schedule) {
  Bytes element;
  const Due due = write_element(element, schedule);
  const Slot made{number, 0, element.size(), due.at, due.size};
  if (chunks_.empty() || number > chunks_.back().slots.back().number) {
    if (chunks_.empty() || chunks_.back().body->size() + element.size() > kChunk) {
      Chunk fresh{std::make_shared<Bytes>(), {}};
      fresh.body->reserve(std::max(kChunk, element.size()));
      chunks_.push_back(std::move(fresh));
    }
    Chunk& chunk = chunks_.back();
    Bytes& body = own(chunk, true);
    chunk.slots.push_back(made);
    chunk.slots.back().at = body.size();
    body.insert(body.end(), element.begin(), element.end());
    ++live_;
    return;
  }
  const std::size_t index = chunk_of(number);
  Chunk& chunk = chunks_[index];
  const bool last = index + 1 == chunks_.size();
  auto it = slot_of(chunk.slots, number);
  if (it != chunk.slots.end() && it->number == number) {
    const std::size_t at = it->at;
    const std::size_t slot = static_cast<std::size_t>(it - chunk.slots.begin());
    splice(chunk, last, at, it->size, element);
    chunk.slots[slot] = made;
    chunk.slots[slot].at = at;
  } else {
    const std::size_t at = it == chunk.slots.end() ? chunk.body->size() : it->at;
    const std::size_t slot = static_cast<std::size_t>(it - chunk.slots.begin());
    splice(chunk, last, at, 0, element);
    chunk.slots.insert(chunk.slots.begin() + static_cast<std::ptrdiff_t>(slot), made)->at = at;
    ++live_;
  }
  balance(index);
}

bool Encoded::remove(std::uint64_t number) {
  if (chunks_.empty()) return false;
  const std::size_t index = chunk_of(number);
  Chunk& chunk = chunks_[index];
  auto it = slot_of(chunk.slots, number);
  if (it == chunk.slots.end() || it->number != number) return false;
  const std::size_t slot = static_cast<std::size_t>(it - chunk.slots.begin());
  splice(chunk, index + 1 == chunks_.size(), it->at, it->size, {});
  chunk.slots.erase(chunk.slots.begin() + static_cast<std::ptrdiff_t>(slot));
  --live_;
  if (!chunk.slots.empty()) {
    balance(index);
  } else {
    chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(index));
    if (index > 0) join(index - 1);
  }
  return true;
}

bool Encoded::redue(std::uint64_t number, std::int64_t due) {
  if (chunks_.empty()) return false;
  const std::size_t index = chunk_of(number);
  Chunk& chunk = chunks_[index];
  auto it = slot_of(chunk.slots, number);
  if (it == chunk.slots.end() || it->number != number) return false;
  Bytes integer;
  msgpack::write_int(integer, due);
  const std::size_t slot = static_cast<std::size_t>(it - chunk.slots.begin());
  splice(chunk, index + 1 == chunks_.size(), it->at + it->due_at, it->due_size, integer);
  Slot& changed = chunk.slots[slot];
  changed.size = changed.size + integer.size() - changed.due_size;
  changed.due_size = static_cast<std::uint8_t>(integer.size());
  balance(index);
  return true;
}

bool Encoded::join(std::size_t index) {
  if (index + 1 >= chunks_.size() || chunks_[index].body->size() + chunks_[index + 1].body->size() > kChunk) {
    return false;
  }
  Chunk& front = chunks_[index];
  const Chunk& next = chunks_[index + 1];
  Bytes& body = own(front, index + 2 == chunks_.size());
  const std::size_t base = body.size();
  body.insert(body.end(), next.body->begin(), next.body->end());
  for (Slot slot : next.slots) {
    slot.at += base;
    front.slots.push_back(slot);
  }
  chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(index) + 1);
  return true;
}

void Encoded::balance(std::size_t index) {
  Chunk& chunk = chunks_[index];
  if (chunk.body->size() > 2 * kChunk && chunk.slots.size() > 1) {
    // Halved by bytes, each half keeping at least one element.
    auto middle = std::lower_bound(chunk.slots.begin() + 1, chunk.slots.end() - 1, chunk.body->size() / 2,
                                   [](const Slot& slot, std::size_t at) { return slot.at < at; });
    const std::size_t from = middle->at;
    Chunk back{std::make_shared<Bytes>(chunk.body->begin() + static_cast<std::ptrdiff_t>(from), chunk.body->end()),
               std::vector<Slot>(middle, chunk.slots.end())};
    for (Slot& slot : back.slots) slot.at -= from;
    own(chunk, index + 1 == chunks_.size()).resize(from);
    chunk.slots.erase(middle, chunk.slots.end());
    chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(index) + 1, std::move(back));
    join(index + 1);
    if (index > 0) join(index - 1);
    return;
  }
  join(index);
  if (index > 0) join(index - 1);
}

void Encoded::clear() {
  chunks_.clear();
  live_ = 0;
}

Page Encoded::page() const {
  auto head = std::make_shared<Bytes>();
  write_head(*head, live_);
  std::vector<std::shared_ptr<const Bytes>> pieces;
  pieces.reserve(chunks_.size() + 1);
  pieces.push_back(std::move(head));
  for (const Chunk& chunk : chunks_) {
    chunk.shared = true;
    pieces.push_back(chunk.body);
  }
  return Page::joined(std::move(pieces));
}

Result<std::vector<Schedule>> decode(ByteView bytes) {
  // A repeated "schedules" key replaces the earlier array instead of adding to it.
  return tagged_field<std::vector<Schedule>>(bytes, kTag, kSchedules, read_list);
}

}  // namespace vorel::core::schedule
