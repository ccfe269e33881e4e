// The PostgreSQL driver over libpq: values go and come in the binary format, so bytes are never
// escaped.
#include <fmt/format.h>
#include <libpq-fe.h>
#include <poll.h>

#include <cstdlib>
#include <memory>
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
    if (PQstatus(conn_) != CONNECTION_OK) return false;
    // An idle connection has nothing to read unless the server closed it or is closing it. Its
    // last words (the notice of a shutdown) can be read before the end of the stream is seen,
    // which would leave the connection looking sound: anything to read at all replaces it.
    pollfd p{PQsocket(conn_), POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
  }

  Result<Outcome> run(const std::string& sql, std::span<const Param> params, std::size_t rows) override {
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    std::vector<Oid> types;
    static const char empty = 0;
    for (const Param& p : params) {
      types.push_back(p.type == Param::Type::Text ? kText : kBytea);
      // A null pointer binds NULL: an empty value still points somewhere.
      values.push_back(p.type == Param::Type::Null ? nullptr
                       : p.bytes.empty()          ? &empty
                                                  : reinterpret_cast<const char*>(p.bytes.data()));
      lengths.push_back(static_cast<int>(p.bytes.size()));
      formats.push_back(1);
    }
    int n = static_cast<int>(params.size());
    Answer answer;
    if (n == 0) {
      answer.reset(PQexecParams(conn_, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1));
    } else {
      auto it = prepared_.find(sql);
      if (it == prepared_.end()) {
        std::string name = fmt::format("vorel_{}", prepared_.size());
        Answer made(PQprepare(conn_, name.c_str(), sql.c_str(), n, types.data()));
        if (PQresultStatus(made.get()) != PGRES_COMMAND_OK) return std::unexpected(failure(made.get()));
        it = prepared_.emplace(sql, std::move(name)).first;
      }
      answer.reset(PQexecPrepared(conn_, it->second.c_str(), n, values.data(), lengths.data(), formats.data(), 1));
    }
    auto status = PQresultStatus(answer.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) return std::unexpected(failure(answer.get()));
    Outcome out;
    const char* affected = PQcmdTuples(answer.get());
    out.affected = affected && *affected ? std::strtoull(affected, nullptr, 10) : 0;
    int count = PQntuples(answer.get());
    int columns = PQnfields(answer.get());
    for (int r = 0; r < count && out.rows.size() < rows; ++r) {
      Row row;
      for (int c = 0; c < columns; ++c) {
        Cell cell;
        if (PQgetisnull(answer.get(), r, c)) {
          cell.type = Cell::Type::Null;
        } else {
          Oid type = PQftype(answer.get(), c);
          cell.type = type == kBytea ? Cell::Type::Blob
                      : (type == kText || type == kVarchar) ? Cell::Type::Text
                                                            : Cell::Type::Other;
          auto* data = reinterpret_cast<const std::uint8_t*>(PQgetvalue(answer.get(), r, c));
          cell.bytes.assign(data, data + PQgetlength(answer.get(), r, c));
        }
        row.push_back(std::move(cell));
      }
      out.rows.push_back(std::move(row));
    }
    return out;
  }

 private:
  Error failure(const PGresult* answer) const {
    const char* primary = answer ? PQresultErrorField(answer, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    std::string message = trimmed(primary ? primary : PQerrorMessage(conn_));
    if (PQstatus(conn_) != CONNECTION_OK) return Error::io(message);
    const char* state = answer ? PQresultErrorField(answer, PG_DIAG_SQLSTATE) : nullptr;
    return Error::database(message, state && std::string_view(state) == "23505");
  }

  PGconn* conn_;
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
