#include "core/invariant.hpp"

#include <cstdio>
#include <cstdlib>

namespace vorel::core {

void broken(const char* text) {
  std::fputs(text, stderr);
  std::fputc('\n', stderr);
  std::abort();
}

}  // namespace vorel::core
