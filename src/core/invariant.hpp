// The one way a broken internal invariant ends the process: a fixed text, then abort.
#pragma once

namespace vorel::core {

// Writes the text and a newline to stderr, then aborts; for faults of this program, never of its input.
[[noreturn]] void broken(const char* text);

}  // namespace vorel::core
