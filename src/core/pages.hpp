// A key's state as the core moves it: page name to page bytes, in bytewise order of the names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"

namespace vorel::core {

// The bytes of one page, immutable and shared: a write hands the same page to the record table,
// to the activation's newest pages and to its confirmation without copying it, however large.
// A page may also be made of pieces laid end to end, which are joined only once its bytes are read:
// a large page that changes a little at every write (the schedules of a key) is then made anew
// without copying what did not change. Reading it from several threads at once is safe.
class Page {
 public:
  Page() = default;
  Page(Bytes bytes);  // NOLINT(google-explicit-constructor): a page is its bytes
  Page(std::initializer_list<std::uint8_t> bytes) : Page(Bytes(bytes)) {}

  // The page whose bytes are `pieces` one after the other. The pieces must not change after this.
  static Page joined(std::vector<std::shared_ptr<const Bytes>> pieces);

  // Joins the pieces of a joined page the first time it is asked.
  const Bytes& bytes() const;
  operator const Bytes&() const { return bytes(); }  // NOLINT(google-explicit-constructor)

  // The bytes, moved out without a copy when no other page shares them; the page is left empty.
  Bytes take() &&;

  std::size_t size() const;
  bool empty() const { return size() == 0; }
  const std::uint8_t* data() const { return bytes().data(); }
  Bytes::const_iterator begin() const { return bytes().begin(); }
  Bytes::const_iterator end() const { return bytes().end(); }
  std::uint8_t operator[](std::size_t i) const { return bytes()[i]; }

  friend bool operator==(const Page& a, const Page& b);
  friend bool operator==(const Page& a, const Bytes& b) { return a.bytes() == b; }

 private:
  struct Body;
  struct Joined;
  explicit Page(std::shared_ptr<const Body> body) : body_(std::move(body)) {}

  // None for an empty page.
  std::shared_ptr<const Body> body_;
};

// std::string compares by char_traits<char>, which orders as unsigned bytes, so iteration
// follows the bytewise order of the names that every stored and wire form relies on.
using Pages = std::map<std::string, Page>;

// Reserved page names begin with '@'.
inline bool reserved_page(std::string_view name) { return !name.empty() && name.front() == '@'; }

}  // namespace vorel::core
