#include "core/collections/queue_segment.hpp"

#include <algorithm>
#include <limits>

#include "core/collections/message.hpp"
#include "core/collections/queue.hpp"

namespace vorel::core::collections::queue {

namespace {
constexpr std::uint64_t kLargest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

std::optional<std::vector<Bytes>> items_of(wire::Reading& r) {
  auto count = r.read_array_len();
  if (!count) return std::nullopt;
  std::vector<Bytes> items;
  for (std::uint64_t i = 0; i < *count; ++i) {
    auto item = r.bytes();
    if (!item) return std::nullopt;
    items.push_back(std::move(*item));
  }
  return items;
}

constexpr std::string_view kUnanswered = "the queue's directory did not answer [head, tail]";

std::uint64_t total_of(const std::vector<Bytes>& items) {
  std::uint64_t total = 0;
  for (const auto& item : items) total += item.size();
  return total;
}
}  // namespace

Run Run::of(const Parts& parts) {
  Run run;
  run.items = message::part<std::vector<Bytes>>(parts, "items", items_of).value_or(std::vector<Bytes>{});
  const std::int64_t taken = message::integer_in(parts, "taken").value_or(0);
  run.taken = taken < 1 ? 0 : static_cast<std::uint64_t>(taken);
  auto sealed = parts.find("sealed");
  run.sealed = sealed != parts.end() && !sealed->second.empty() && sealed->second[0] == msgpack::kTrue;
  return run;
}

Parts Run::parts() const {
  wire::Writer items_out;
  items_out.array(items.size());
  for (const auto& item : items) items_out.bin(item);
  Bytes sealed_out;
  msgpack::write_bool(sealed_out, sealed);
  return Parts{{"items", items_out.take()},
               {"sealed", std::move(sealed_out)},
               {"taken", number(static_cast<std::int64_t>(std::min(taken, kLargest)))}};
}

bool Run::offer(ByteView value) {
  if (sealed) return false;
  const std::uint64_t total = total_of(items) + value.size();
  if (!items.empty() && total > kBytes) {
    sealed = true;
    return false;
  }
  items.emplace_back(value.begin(), value.end());
  if (items.size() >= kItems || total >= kBytes) sealed = true;
  return true;
}

void Run::clear() {
  items.clear();
  taken = 0;
}

Bytes where_is(const Target& reply) {
  wire::Writer w;
  w.array(2);
  w.str("Advance");
  w.map(3);
  w.str("reply_to");
  w.target(reply);
  w.str("head");
  w.int_(0);
  w.str("tail");
  w.int_(0);
  return w.take();
}

Bytes listed(const std::vector<Bytes>& items, bool sealed) {
  wire::Writer w;
  w.array(2);
  w.array(items.size());
  for (const auto& item : items) w.bin(item);
  w.boolean(sealed);
  return w.take();
}

Parts Segment::initial(double) const { return Parts{}; }

bool Segment::disposable(const Parts& parts, double) const {
  if (parts.empty()) return true;
  const Run run = Run::of(parts);
  return run.sealed && run.taken >= run.items.size();
}

std::optional<Turn> Segment::turn(const Parts& parts, const Input& input, double, Namer&) const {
  const auto bytes = input.bytes();
  if (!bytes) return std::nullopt;
  auto read = queue::read(*bytes);
  if (!read) return Turn::refused(std::move(read.error()));
  const std::string_view op = read->message.op;
  if (op != "Offer" && op != "Take" && op != "Peek" && op != "Size" && op != "Clear") {
    return Turn::refused(message::unknown("a queue segment", read->message));
  }
  Fields& f = read->fields;
  if (op == "Offer") {
    if (auto lack = message::lacking(read->message, {{"value", f.value.has_value()}})) {
      return Turn::refused(std::move(*lack));
    }
  }
  Turn turn;

  // A segment without state may lie below the directory's tail, drained and dropped: it asks
  // before it creates state again.
  bool live = false;
  if (parts.empty() && (op == "Take" || op == "Peek" || op == "Offer")) {
    if (input.as_message()) {
      // Without "at" the answer could not be used, so the directory is not asked for nothing.
      if (auto lack = message::lacking(read->message, {{"index", f.index.has_value()}, {"at", f.at.has_value()}})) {
        return Turn::refused(std::move(*lack));
      }
      turn.asking = Asking{*f.index, where_is};
      return turn;
    }
    wire::Reading answer(input.as_answer()->answer);
    if (!answer.read_array_len()) return Turn::refused(std::string(kUnanswered));
    auto head = answer.int_();
    auto tail = head ? answer.int_() : head;
    if (!tail) return Turn::refused(std::string(kUnanswered));
    if (!f.at) return Turn::refused(*message::lacking(read->message, {{"at", false}}));
    if (*f.at < *tail) {
      turn.delete_ = true;
      turn.sends.push_back({std::move(f.reply_to), op == "Offer" ? truth(false) : listed({}, true)});
      return turn;
    }
    live = true;
  }

  Run run = Run::of(parts);
  const Run read_run = run;
  const std::uint64_t start = std::min<std::uint64_t>(run.taken, run.items.size());
  Bytes reply;
  if (op == "Offer") {
    reply = truth(run.offer(*f.value));
  } else if (op == "Clear") {
    run.clear();
    reply = nil();
  } else if (op == "Take") {
    const std::uint64_t n = f.limit && *f.limit > 0 ? static_cast<std::uint64_t>(*f.limit) : 0;
    const std::uint64_t end = start + std::min<std::uint64_t>(n, run.items.size() - start);
    std::vector<Bytes> taken(run.items.begin() + static_cast<std::ptrdiff_t>(start),
                             run.items.begin() + static_cast<std::ptrdiff_t>(end));
    run.taken = end;
    // Taken items leave the stored run only once they are half of it, so a take rewrites less.
    if (2 * end >= run.items.size()) {
      run.items.erase(run.items.begin(), run.items.begin() + static_cast<std::ptrdiff_t>(end));
      run.taken = 0;
    }
    reply = listed(taken, run.sealed);
  } else if (op == "Peek") {
    std::vector<Bytes> next;
    if (start < run.items.size()) next.push_back(run.items[start]);
    reply = listed(next, run.sealed);
  } else {
    reply = number(static_cast<std::int64_t>(run.items.size() - start));
  }
  if (live || run != read_run) turn.parts = run.parts();
  turn.sends.push_back({std::move(f.reply_to), std::move(reply)});
  return turn;
}

}  // namespace vorel::core::collections::queue
