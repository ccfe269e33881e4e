// The failures of the SQL client under the store, each one value with its own description.
#pragma once

#include <expected>
#include <string>

namespace vorel::store {

struct Error {
  // The store tells three kinds apart: a configuration it cannot use (a URL that does not parse,
  // a scheme without a driver, a backend it keeps no records in), an error the database returned
  // for a statement, and every other failure (connecting, I/O, decoding, the pool).
  enum class Kind { Configuration, Database, Other };

  Kind kind = Kind::Other;
  // A database error that is a violation of a unique key.
  bool unique = false;
  std::string text;

  static Error configuration(std::string problem) {
    return {Kind::Configuration, false, "error with configuration: " + problem};
  }
  static Error database(std::string message, bool unique) {
    return {Kind::Database, unique, "the database refused the statement: " + message};
  }
  static Error connect(std::string message) { return {Kind::Other, false, "could not connect to the database: " + message}; }
  static Error io(std::string message) { return {Kind::Other, false, "the connection to the database failed: " + message}; }
  static Error decode(std::string message) { return {Kind::Other, false, "a column could not be read: " + message}; }
  static Error closed() { return {Kind::Other, false, "the pool of connections is closed"}; }
  static Error timed_out() { return {Kind::Other, false, "no connection of the pool came free within 30 s"}; }
  static Error no_thread(std::string message) {
    return {Kind::Other, false, "the pool could not start a thread for a connection: " + message};
  }
  // Only ever handed to a caller that no longer waits.
  static Error dropped() { return {Kind::Other, false, "the call was given up before it ran"}; }
};

template <class T>
using Result = std::expected<T, Error>;

}  // namespace vorel::store
