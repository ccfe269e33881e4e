// Pinned keys: keys whose text names the node that must run them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorel::core::placement {

// A key that must run on the node at `address`: "@address/key".
std::string pin(std::string_view address, std::string_view key);
// The "host:port" a pinned key names, as a slice of the key; none for an ordinary key.
std::optional<std::string_view> pinned(std::string_view key);

}  // namespace vorel::core::placement
