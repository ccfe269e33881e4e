// The PostgreSQL driver over libpq: values go and come in the binary format, so bytes are never
// escaped.
#include <fmt/format.h>
#include <libpq-fe.h>
#include <poll.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <unordered_map>

#include "store/drivers.hpp"

namespace vorel::store::drivers {
namespace {

constexpr Oid kBytea = 17;
constexpr Oid kText = 25;
constexpr Oid kVarchar = 1043;

// libpq's messages run over several indented lines: one line reads better inside an exception.
std::string trimmed(const char* text) {
  std::string s;
  for (const char* p = text ? text : ""; *p; ++p) {
    bool space = *p == '\n' || *p == '\t' || *p == ' ';
    if (!space) {
      s += *p;
    } else if (!s.empty() && s.back() != ' ') {
      s += ' ';
    }
  }
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

struct Cleared {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Answer = std::unique_ptr<PGresult, Cleared>;

class PostgresConnection final : public Connection {
 public:
  explicit PostgresConnection(PGconn* conn) : conn_(conn) {}
  ~PostgresConnection() override { PQfinish(conn_); }

  std::string_view backend() const override { return "PostgreSQL"; }

  bool usable() override {
    if (broken_ || PQstatus(conn_) != CONNECTION_OK) return false;
    // An idle connection has nothing to read unless the server closed it or is closing it. Its
    // last words (the notice of a shutdown) can be read before the end of the stream is seen,
    // which would leave the connection looking sound: anything to read at all replaces it.
    pollfd p{PQsocket(conn_), POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
  }

  Result<Outcome> run(const std::string& sql, std::span<const Param> params, std::size_t rows) override {
    Bound bound(params);
    Answer answer;
    if (params.empty()) {
      answer.reset(PQexecParams(conn_, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1));
    } else {
      auto name = prepared(sql, bound);
      if (!name) return std::unexpected(std::move(name.error()));
      answer.reset(PQexecPrepared(conn_, *name, bound.count(), bound.values.data(), bound.lengths.data(),
                                  bound.formats.data(), 1));
    }
    return outcome(answer.get(), rows);
  }

  // The runs go out in one pipeline and their answers are read after the last is sent: one round
  // trip for all of them. A run that fails aborts the ones after it, which the server skips.
  Result<std::vector<Outcome>> run_each(const std::string& sql, std::span<const std::vector<Param>> each,
                                        std::size_t rows) override {
    if (each.size() < 2 || each.front().empty()) return Connection::run_each(sql, each, rows);
    auto name = prepared(sql, Bound(each.front()));
    if (!name) return std::unexpected(std::move(name.error()));
    if (PQenterPipelineMode(conn_) != 1) return std::unexpected(broke());
    for (const auto& params : each) {
      Bound bound(params);
      if (PQsendQueryPrepared(conn_, *name, bound.count(), bound.values.data(), bound.lengths.data(),
                              bound.formats.data(), 1) != 1) {
        return std::unexpected(broke());
      }
    }
    if (PQpipelineSync(conn_) != 1) return std::unexpected(broke());
    std::vector<Outcome> out;
    std::optional<Error> first;
    for (std::size_t i = 0; i < each.size(); ++i) {
      Answer answer(PQgetResult(conn_));
      if (!answer) return std::unexpected(broke());
      auto status = PQresultStatus(answer.get());
      if (status != PGRES_PIPELINE_ABORTED && !first) {
        auto one = outcome(answer.get(), rows);
        if (one) {
          out.push_back(std::move(*one));
        } else {
          first = std::move(one.error());
        }
      }
      // Each run's answer ends with a null result.
      if (Answer(PQgetResult(conn_))) return std::unexpected(broke());
    }
    Answer sync(PQgetResult(conn_));
    if (!sync || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC || PQexitPipelineMode(conn_) != 1) {
      return std::unexpected(broke());
    }
    if (first) return std::unexpected(std::move(*first));
    return out;
  }

 private:
  // The values of one run in the binary format. A null pointer binds NULL: an empty value still
  // points somewhere.
  struct Bound {
    explicit Bound(std::span<const Param> params) {
      static const char empty = 0;
      for (const Param& p : params) {
        types.push_back(p.type == Param::Type::Text ? kText : kBytea);
        values.push_back(p.type == Param::Type::Null ? nullptr
                         : p.bytes.empty()          ? &empty
                                                    : reinterpret_cast<const char*>(p.bytes.data()));
        lengths.push_back(static_cast<int>(p.bytes.size()));
        formats.push_back(1);
      }
    }
    int count() const { return static_cast<int>(values.size()); }
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    std::vector<Oid> types;
  };

  // The name of the statement prepared for `sql`, preparing it the first time.
  Result<const char*> prepared(const std::string& sql, const Bound& bound) {
    auto it = prepared_.find(sql);
    if (it == prepared_.end()) {
      std::string name = fmt::format("vorel_{}", prepared_.size());
      Answer made(PQprepare(conn_, name.c_str(), sql.c_str(), bound.count(), bound.types.data()));
      if (PQresultStatus(made.get()) != PGRES_COMMAND_OK) return std::unexpected(failure(made.get()));
      it = prepared_.emplace(sql, std::move(name)).first;
    }
    return it->second.c_str();
  }

  Result<Outcome> outcome(const PGresult* answer, std::size_t rows) const {
    auto status = PQresultStatus(answer);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) return std::unexpected(failure(answer));
    Outcome out;
    const char* affected = PQcmdTuples(const_cast<PGresult*>(answer));
    out.affected = affected && *affected ? std::strtoull(affected, nullptr, 10) : 0;
    int count = PQntuples(answer);
    int columns = PQnfields(answer);
    for (int r = 0; r < count && out.rows.size() < rows; ++r) {
      Row row;
      for (int c = 0; c < columns; ++c) {
        Cell cell;
        if (PQgetisnull(answer, r, c)) {
          cell.type = Cell::Type::Null;
        } else {
          Oid type = PQftype(answer, c);
          cell.type = type == kBytea ? Cell::Type::Blob
                      : (type == kText || type == kVarchar) ? Cell::Type::Text
                                                            : Cell::Type::Other;
          auto* data = reinterpret_cast<const std::uint8_t*>(PQgetvalue(answer, r, c));
          cell.bytes.assign(data, data + PQgetlength(answer, r, c));
        }
        row.push_back(std::move(cell));
      }
      out.rows.push_back(std::move(row));
    }
    return out;
  }

  // A pipeline that went wrong leaves the connection in no state to be used again.
  Error broke() {
    broken_ = true;
    return Error::io(trimmed(PQerrorMessage(conn_)));
  }

  Error failure(const PGresult* answer) const {
    const char* primary = answer ? PQresultErrorField(answer, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    std::string message = trimmed(primary ? primary : PQerrorMessage(conn_));
    if (PQstatus(conn_) != CONNECTION_OK) return Error::io(message);
    const char* state = answer ? PQresultErrorField(answer, PG_DIAG_SQLSTATE) : nullptr;
    return Error::database(message, state && std::string_view(state) == "23505");
  }

  PGconn* conn_;
  bool broken_ = false;
  std::unordered_map<std::string, std::string> prepared_;
};

void quiet(void*, const char*) {}

class PostgresDriver final : public Driver {
 public:
  explicit PostgresDriver(std::string url) : url_(std::move(url)) {}

  Result<std::unique_ptr<Connection>> connect() const override {
    PGconn* conn = PQconnectdb(url_.c_str());
    if (conn == nullptr) return std::unexpected(Error::connect("libpq could not allocate a connection"));
    if (PQstatus(conn) != CONNECTION_OK) {
      std::string message = trimmed(PQerrorMessage(conn));
      PQfinish(conn);
      return std::unexpected(Error::connect(message));
    }
    // Notices ("relation already exists, skipping") are the server talking to a person.
    PQsetNoticeProcessor(conn, quiet, nullptr);
    if (PQsetClientEncoding(conn, "UTF8") != 0) {
      std::string message = trimmed(PQerrorMessage(conn));
      PQfinish(conn);
      return std::unexpected(Error::connect(message));
    }
    return std::make_unique<PostgresConnection>(conn);
  }

 private:
  std::string url_;
};

}  // namespace

Result<std::shared_ptr<const Driver>> postgres(std::string_view text) {
  // libpq reads the URL itself, with every option it knows; its prefix must be lower-case.
  auto colon = text.find(':');
  std::string url = fmt::format("postgresql{}", text.substr(colon));
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
  if (options == nullptr) {
    std::string message = error ? trimmed(error) : "libpq could not read the URL";
    PQfreemem(error);
    return std::unexpected(Error::configuration(message));
  }
  PQconninfoFree(options);
  return std::make_shared<PostgresDriver>(std::move(url));
}

}  // namespace vorel::store::drivers
