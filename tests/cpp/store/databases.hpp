// The databases the store's cases run against: SQLite on a file of its own, and PostgreSQL and
// MariaDB when the test script started them (their URLs are in the environment).
#pragma once

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <string_view>

#include "exec/waiting.hpp"
#include "store/sql.hpp"

namespace vorel::store::testing {

inline std::string unique_name(std::string_view stem) {
  static std::mt19937_64 random(std::random_device{}());
  return fmt::format("{}-{:016x}", stem, random());
}

inline const char* env(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? v : nullptr;
}

// A case for each of "sqlite", "postgres" and "mariadb", with the store open and an actor type
// of its own, since the servers are shared by every case.
class OnDatabases : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    threads_ = *exec::Threads::start(1);
    if (GetParam() == "sqlite") {
      file_ = std::filesystem::temp_directory_path() / unique_name("vorel-sql-test");
      url_ = fmt::format("sqlite://{}?mode=rwc", file_.string());
    } else {
      const char* url = env(GetParam() == "postgres" ? "VOREL_TEST_POSTGRES" : "VOREL_TEST_MARIADB");
      if (url == nullptr) GTEST_SKIP() << "no " << GetParam() << " server: scripts/test.sh starts one";
      url_ = url;
    }
    actor_ = unique_name("test.actor:Type");
    sql_ = opened();
  }

  void TearDown() override {
    if (sql_) exec::testing::wait(*threads_, sql_->close());
    sql_.reset();
    if (!file_.empty()) {
      for (auto suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file_.string() + suffix);
    }
  }

  std::shared_ptr<Sql> opened() {
    auto sql = exec::testing::wait(*threads_, Sql::open(url_));
    EXPECT_TRUE(sql) << sql.error().text;
    return sql ? *sql : nullptr;
  }

  std::shared_ptr<exec::Threads> threads_;
  std::filesystem::path file_;
  std::string url_, actor_;
  std::shared_ptr<Sql> sql_;
};

}  // namespace vorel::store::testing
