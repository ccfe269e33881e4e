// A key's state as the core moves it: page name to page bytes, in bytewise order of the names.
#pragma once

#include <map>
#include <string>

#include "core/bytes.hpp"

namespace vorel::core {

// std::string compares by char_traits<char>, which orders as unsigned bytes, so iteration
// follows the bytewise order of the names that every stored and wire form relies on.
using Pages = std::map<std::string, Bytes>;

// Reserved page names begin with '@'.
inline bool reserved_page(std::string_view name) { return !name.empty() && name.front() == '@'; }

}  // namespace vorel::core
