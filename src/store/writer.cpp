#include "store/writer.hpp"

#include <algorithm>
#include <cstring>
#include <expected>
#include <span>
#include <unordered_set>
#include <utility>

#include "store/sql.hpp"

namespace vorel::store {
namespace {

constexpr char kCommit[] = "COMMIT";
constexpr char kRollback[] = "ROLLBACK";

// A row id is a digest already: its first bytes spread as well as any hash of them would.
struct RowHash {
  std::size_t operator()(const std::array<std::uint8_t, 32>& row) const {
    std::size_t h;
    std::memcpy(&h, row.data(), sizeof h);
    return h;
  }
};

using Values = std::vector<std::vector<Param>>;

Values updates_of(std::span<const Write* const> saves) {
  Values out;
  out.reserve(saves.size());
  for (const Write* w : saves) {
    out.push_back({Param::blob(w->version), Param::state(w->state), Param::blob(w->row), Param::blob(w->version)});
  }
  return out;
}

Values inserts_of(std::span<const Write* const> saves) {
  Values out;
  out.reserve(saves.size());
  for (const Write* w : saves) {
    out.push_back({Param::blob(w->row), Param::text(w->actor), Param::text(w->key), Param::blob(w->version),
                   Param::state(w->state)});
  }
  return out;
}

Values rows_of(std::span<const Write* const> writes) {
  Values out;
  out.reserve(writes.size());
  for (const Write* w : writes) out.push_back({Param::blob(w->row)});
  return out;
}

// What the kept version of a row says of a save that changed nothing: none when there is no row.
enum class Kept { None, NotLower, Lower };

Result<Kept> kept(Outcome& found, const core::Bytes& version) {
  if (found.rows.empty() || found.rows.front().empty()) return Kept::None;
  auto held = bytes_of(found.rows.front()[0], 0);
  if (!held) return std::unexpected(held.error());
  // Bytewise, a prefix before what extends it: the order the database compares in.
  return std::lexicographical_compare(held->begin(), held->end(), version.begin(), version.end()) ? Kept::Lower
                                                                                                  : Kept::NotLower;
}

// A write made alone, each statement committing on its own. Without a transaction: the primary
// key turns a second insert into a unique-key violation, the update only ever raises the
// version, and the kept version decides who lost. A round repeats only while another writer
// changes the row between its statements.
Result<void> alone(Connection& c, const Statements& s, const Write& w) {
  if (w.forget) {
    std::vector<Param> bound{Param::blob(w.row), Param::blob(w.version)};
    auto removed = c.run(s.remove, bound, 0);
    if (!removed) return std::unexpected(std::move(removed.error()));
    return {};
  }
  const Write* one[] = {&w};
  auto update = updates_of(one), insert = inserts_of(one), check = rows_of(one);
  for (;;) {
    auto updated = c.run(s.update, update.front(), 0);
    if (!updated) return std::unexpected(std::move(updated.error()));
    if (updated->affected > 0) return {};
    auto inserted = c.run(s.insert, insert.front(), 0);
    if (inserted) return {};
    if (!(inserted.error().kind == Error::Kind::Database && inserted.error().unique)) {
      return std::unexpected(std::move(inserted.error()));
    }
    auto found = c.run(s.version, check.front(), 1);
    if (!found) return std::unexpected(std::move(found.error()));
    auto k = kept(*found, w.version);
    if (!k) return std::unexpected(std::move(k.error()));
    if (*k == Kept::NotLower) return {};
  }
}

// Why a group did not commit, and whether its transaction had begun.
struct Failed {
  Error error;
  bool began = true;
};

// The group's writes in one transaction. Saves that changed no row look at the kept version
// first, so that a save that lost does not fail the group with a unique-key violation; a save
// that finds a lower version there (another writer came between its statements) is left for
// after the commit, returned in `later`.
std::expected<void, Failed> together(Connection& c, const Statements& s, const std::string& begin,
                                     std::span<const Write> batch, std::vector<std::size_t>& later) {
  auto began = c.run(begin, {}, 0);
  if (!began) return std::unexpected(Failed{std::move(began.error()), false});
  auto failed = [](Error& e) { return std::unexpected(Failed{std::move(e)}); };
  std::vector<const Write*> saves, forgets;
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (batch[i].forget) {
      forgets.push_back(&batch[i]);
    } else {
      saves.push_back(&batch[i]);
      at.push_back(i);
    }
  }
  if (!saves.empty()) {
    auto updated = c.run_each(s.update, updates_of(saves), 0);
    if (!updated) return failed(updated.error());
    std::vector<const Write*> unchanged;
    std::vector<std::size_t> unchanged_at;
    for (std::size_t j = 0; j < saves.size(); ++j) {
      if ((*updated)[j].affected == 0) {
        unchanged.push_back(saves[j]);
        unchanged_at.push_back(at[j]);
      }
    }
    if (!unchanged.empty()) {
      auto found = c.run_each(s.version, rows_of(unchanged), 1);
      if (!found) return failed(found.error());
      std::vector<const Write*> missing;
      for (std::size_t j = 0; j < unchanged.size(); ++j) {
        auto k = kept((*found)[j], unchanged[j]->version);
        if (!k) return failed(k.error());
        if (*k == Kept::None) missing.push_back(unchanged[j]);
        if (*k == Kept::Lower) later.push_back(unchanged_at[j]);
      }
      if (!missing.empty()) {
        auto inserted = c.run_each(s.insert, inserts_of(missing), 0);
        if (!inserted) return failed(inserted.error());
      }
    }
  }
  if (!forgets.empty()) {
    auto bound = rows_of(forgets);
    for (std::size_t j = 0; j < forgets.size(); ++j) bound[j].push_back(Param::blob(forgets[j]->version));
    auto removed = c.run_each(s.remove, bound, 0);
    if (!removed) return failed(removed.error());
  }
  auto committed = c.run(kCommit, {}, 0);
  if (!committed) return failed(committed.error());
  return {};
}

}  // namespace

Writer::Writer(std::shared_ptr<Pool> pool, std::shared_ptr<const Statements> statements, std::string begin)
    : pool_(std::move(pool)), statements_(std::move(statements)), begin_(std::move(begin)) {}

void Writer::add(Write write) {
  bool start = false, gathered = false;
  {
    std::lock_guard lock(mutex_);
    waiting_.push_back(std::move(write));
    start = !std::exchange(busy_, true);
    gathered = lingering_ && waiting_.size() >= expected_;
  }
  if (gathered) gathered_.notify_one();
  if (start) submit();
}

void Writer::submit() {
  // The group is taken when a connection is there for it, so that what comes while it waits
  // joins it.
  pool_->submit(Pool::Job{[self = shared_from_this()](Result<Connection*> c) { self->run(std::move(c)); }, {}});
}

std::vector<Write> Writer::take() {
  std::vector<Write> batch, unwanted;
  {
    std::lock_guard lock(mutex_);
    std::unordered_set<std::array<std::uint8_t, 32>, RowHash> rows;
    std::deque<Write> held;
    // A row has one write in a group: the writes after it wait for the next, in their order. The
    // look is bounded, so that many writes of one row do not make every group read them all.
    std::size_t looked = 0;
    while (!waiting_.empty() && batch.size() < kMost && looked++ < 4 * kMost) {
      Write w = std::move(waiting_.front());
      waiting_.pop_front();
      if (w.wanted && !w.wanted()) {
        unwanted.push_back(std::move(w));
      } else if (!rows.insert(w.row).second) {
        held.push_back(std::move(w));
      } else {
        batch.push_back(std::move(w));
      }
    }
    while (!held.empty()) {
      waiting_.push_front(std::move(held.back()));
      held.pop_back();
    }
  }
  for (auto& w : unwanted) w.done(std::unexpected(Error::dropped()));
  return batch;
}

// Waits, at most half as long as the last group took to commit, for as many writes as it had.
// A group that is short of them would leave the rest for a commit of their own right after it;
// waiting costs at most half of that commit.
void Writer::linger() {
  std::unique_lock lock(mutex_);
  if (waiting_.size() >= expected_) return;
  auto until = Clock::now() + std::min<Clock::duration>(took_ / 2, kLinger);
  lingering_ = true;
  gathered_.wait_until(lock, until, [this] { return waiting_.size() >= expected_; });
  lingering_ = false;
}

void Writer::run(Result<Connection*> connection) {
  if (connection) linger();
  auto batch = take();
  if (!connection) {
    for (auto& w : batch) w.done(std::unexpected(connection.error()));
  } else if (!batch.empty()) {
    auto began = Clock::now();
    commit(**connection, batch);
    auto took = Clock::now() - began;
    std::lock_guard lock(mutex_);
    expected_ = batch.size();
    took_ = took;
  }
  {
    std::lock_guard lock(mutex_);
    if (waiting_.empty()) {
      busy_ = false;
      return;
    }
  }
  // What came meanwhile is the next group, with a turn of its own at the pool.
  submit();
}

void Writer::commit(Connection& c, std::vector<Write>& batch) const {
  const Statements& s = *statements_;
  std::vector<Result<void>> results;
  results.reserve(batch.size());
  if (batch.size() == 1) {
    // One write needs no transaction of its own: its statements commit as they run.
    results.push_back(alone(c, s, batch.front()));
  } else {
    // Every group locks its rows in one order, so that no two groups ever wait on each other in a
    // circle.
    std::sort(batch.begin(), batch.end(), [](const Write& a, const Write& b) { return a.row < b.row; });
    std::vector<std::size_t> later;
    auto done = together(c, s, begin_, batch, later);
    if (done) {
      results.assign(batch.size(), Result<void>());
      for (std::size_t i : later) results[i] = alone(c, s, batch[i]);
    } else if (!done.error().began || !c.run(kRollback, {}, 0)) {
      // No transaction began, or the connection cannot even roll back: the failure is every
      // write's.
      results.assign(batch.size(), std::unexpected(done.error().error));
    } else {
      // A statement failed: made again one by one, each write meets only its own failure.
      for (const Write& w : batch) results.push_back(alone(c, s, w));
    }
  }
  for (std::size_t i = 0; i < batch.size(); ++i) batch[i].done(std::move(results[i]));
}

}  // namespace vorel::store
