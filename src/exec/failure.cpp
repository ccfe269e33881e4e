#include "exec/failure.hpp"

#include <fmt/format.h>

#include <asio/error.hpp>
#include <string>
#include <system_error>

#include "core/invariant.hpp"

namespace vorel::exec {

bool cancelled(const std::exception_ptr& error) {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const std::system_error& e) {
    return e.code() == asio::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

void broken(const std::exception_ptr& error, const char* text) {
  std::string cause = "an exception of an unknown type";
  try {
    if (error) std::rethrow_exception(error);
  } catch (const std::exception& e) {
    cause = e.what();
  } catch (...) {
  }
  core::broken(fmt::format("{}: {}", text, cause).c_str());
}

}  // namespace vorel::exec
