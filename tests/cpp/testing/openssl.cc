// OpenSSL frees the per-thread error state of a thread when the thread ends, but only for threads
// that first used it after its one-time initialisation finished: the thread that runs that
// initialisation keeps its state for good. A test whose worker thread happens to initialise it
// (a database client does, the first time it connects) would then be reported by LeakSanitizer
// when that worker ends. The tests initialise it here, on the main thread, before any test runs.
#include <openssl/ssl.h>

namespace {

[[maybe_unused]] const int kInitialised = OPENSSL_init_ssl(OPENSSL_INIT_LOAD_CONFIG, nullptr);

}  // namespace
