#include "core/msgpack.hpp"

#include <gtest/gtest.h>

#include "testing/bytes.hpp"

#include <random>
#include <string>
#include <vector>

namespace vorel::core::msgpack {
namespace {

using B = std::vector<std::uint8_t>;

struct WriteCase {
  std::string name;
  std::function<void(Bytes&)> write;
  B expected;
};

class WriteTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteTest, SmallestForm) {
  Bytes out;
  GetParam().write(out);
  EXPECT_EQ(out, GetParam().expected);
}

B str_header_then(std::size_t n, B header) {
  header.insert(header.end(), n, 'x');
  return header;
}

INSTANTIATE_TEST_SUITE_P(
    Codec, WriteTest,
    ::testing::Values(
        WriteCase{"uint127", [](Bytes& o) { write_uint(o, 127); }, {0x7f}},
        WriteCase{"uint128", [](Bytes& o) { write_uint(o, 128); }, {0xcc, 0x80}},
        WriteCase{"uint255", [](Bytes& o) { write_uint(o, 255); }, {0xcc, 0xff}},
        WriteCase{"uint256", [](Bytes& o) { write_uint(o, 256); }, {0xcd, 0x01, 0x00}},
        WriteCase{"uint65535", [](Bytes& o) { write_uint(o, 65535); }, {0xcd, 0xff, 0xff}},
        WriteCase{"uint65536", [](Bytes& o) { write_uint(o, 65536); }, {0xce, 0x00, 0x01, 0x00, 0x00}},
        WriteCase{"uint2pow32", [](Bytes& o) { write_uint(o, 1ull << 32); },
                  {0xcf, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}},
        WriteCase{"intm1", [](Bytes& o) { write_int(o, Integer::of_signed(-1)); }, {0xff}},
        WriteCase{"intm32", [](Bytes& o) { write_int(o, Integer::of_signed(-32)); }, {0xe0}},
        WriteCase{"intm33", [](Bytes& o) { write_int(o, Integer::of_signed(-33)); }, {0xd0, 0xdf}},
        WriteCase{"intm128", [](Bytes& o) { write_int(o, Integer::of_signed(-128)); }, {0xd0, 0x80}},
        WriteCase{"intm129", [](Bytes& o) { write_int(o, Integer::of_signed(-129)); }, {0xd1, 0xff, 0x7f}},
        WriteCase{"intm32769", [](Bytes& o) { write_int(o, Integer::of_signed(-32769)); },
                  {0xd2, 0xff, 0xff, 0x7f, 0xff}},
        WriteCase{"intmin", [](Bytes& o) { write_int(o, Integer::of_signed(INT64_MIN)); },
                  {0xd3, 0x80, 0, 0, 0, 0, 0, 0, 0}},
        WriteCase{"signed5", [](Bytes& o) { write_int(o, Integer::of_signed(5)); }, {0x05}},
        WriteCase{"signed200", [](Bytes& o) { write_int(o, Integer::of_signed(200)); }, {0xcc, 0xc8}},
        WriteCase{"str0", [](Bytes& o) { write_str(o, ""); }, {0xa0}},
        WriteCase{"str31", [](Bytes& o) { write_str(o, std::string(31, 'x')); }, str_header_then(31, {0xbf})},
        WriteCase{"str32", [](Bytes& o) { write_str(o, std::string(32, 'x')); }, str_header_then(32, {0xd9, 0x20})},
        WriteCase{"str256", [](Bytes& o) { write_str(o, std::string(256, 'x')); },
                  str_header_then(256, {0xda, 0x01, 0x00})},
        WriteCase{"str65536", [](Bytes& o) { write_str(o, std::string(65536, 'x')); },
                  str_header_then(65536, {0xdb, 0x00, 0x01, 0x00, 0x00})},
        WriteCase{"bin0", [](Bytes& o) { write_bin(o, {}); }, {0xc4, 0x00}},
        WriteCase{"bin2", [](Bytes& o) { B b{1, 2}; write_bin(o, b); }, {0xc4, 0x02, 0x01, 0x02}},
        WriteCase{"array15", [](Bytes& o) { write_array(o, 15); }, {0x9f}},
        WriteCase{"array16", [](Bytes& o) { write_array(o, 16); }, {0xdc, 0x00, 0x10}},
        WriteCase{"array65536", [](Bytes& o) { write_array(o, 65536); }, {0xdd, 0x00, 0x01, 0x00, 0x00}},
        WriteCase{"map16", [](Bytes& o) { write_map(o, 16); }, {0xde, 0x00, 0x10}},
        WriteCase{"map1", [](Bytes& o) { write_map(o, 1); }, {0x81}},
        WriteCase{"f64", [](Bytes& o) { write_f64(o, 1.5); }, {0xcb, 0x3f, 0xf8, 0, 0, 0, 0, 0, 0}}),
    [](const auto& info) { return info.param.name; });

// Every writer, at every boundary of its forms, in one sequence that outgrows any first buffer.
template <class Out>
void every_form(Out& o) {
  for (std::uint64_t v : {0ull, 127ull, 128ull, 255ull, 256ull, 65535ull, 65536ull, 1ull << 32, ~0ull}) write_uint(o, v);
  for (std::int64_t v : {std::int64_t{5}, std::int64_t{-1}, std::int64_t{-32}, std::int64_t{-33}, std::int64_t{-128},
                         std::int64_t{-129}, std::int64_t{-32769}, std::int64_t{INT64_MIN}}) {
    write_int(o, v);
  }
  write_int(o, Integer::of_unsigned(~0ull));
  for (std::size_t n : {0, 31, 32, 256, 65536}) write_str(o, std::string(n, 'x'));
  const B two{1, 2};
  write_bin(o, two);
  write_bin(o, B(300, 7));
  for (std::uint64_t n : {15ull, 16ull, 65536ull}) {
    write_array(o, n);
    write_map(o, n);
  }
  write_f64(o, 1.5);
  write_nil(o);
  write_bool(o, true);
  write_bool(o, false);
}

TEST(Appender, WritesWhatTheBufferWritersWriteAfterWhatWasThere) {
  for (std::size_t reserved : {0, 16, 1 << 20}) {
    Bytes expected{0xaa, 0xbb};
    every_form(expected);
    Bytes got{0xaa, 0xbb};
    got.reserve(reserved);
    {
      Appender appender(got);
      every_form(appender);
      EXPECT_EQ(appender.size(), expected.size() - 2);
      EXPECT_EQ(B(appender.written().begin(), appender.written().end()), B(expected.begin() + 2, expected.end()));
    }
    EXPECT_EQ(got, expected) << "reserved " << reserved;
  }
}

// Bytes 0, 1, 2, ... written one push at a time, so every size of buffer is crossed.
Bytes counted(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 7);
  return out;
}

void push_counted(Appender& a, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) a.push_back(static_cast<std::uint8_t>(i * 7));
}

TEST(Appender, AnAppenderMadeWhileAnotherWritesKeepsItsOwnBytes) {
  // A value written while another is (as a Python method the writer calls may do), at sizes below
  // the first buffer, past it, and past what a thread keeps between values.
  for (std::size_t outer_n : {3, 300, 200000}) {
    for (std::size_t inner_n : {0, 5, 1000, 100000}) {
      Bytes outer{0xee};
      Bytes inner, innermost;
      {
        Appender a(outer);
        push_counted(a, outer_n / 2);
        {
          Appender b(inner);
          push_counted(b, inner_n);
          {
            Appender c(innermost);  // a third level, while both others have the buffers they had
            c.push_back(0x11);
          }
        }
        push_counted(a, outer_n - outer_n / 2);
      }
      Bytes want_outer{0xee};
      const Bytes first = counted(outer_n / 2), second = counted(outer_n - outer_n / 2);
      want_outer.insert(want_outer.end(), first.begin(), first.end());
      want_outer.insert(want_outer.end(), second.begin(), second.end());
      EXPECT_EQ(outer, want_outer) << outer_n << " around " << inner_n;
      EXPECT_EQ(inner, counted(inner_n)) << inner_n << " inside " << outer_n;
      EXPECT_EQ(innermost, (B{0x11}));
    }
  }
  // The thread's buffer is whole again after all of that, and after a value larger than it keeps.
  Bytes after;
  {
    Appender a(after);
    push_counted(a, 700);
  }
  EXPECT_EQ(after, counted(700));
}

TEST(Appender, GivesAnEmptyBufferOnlyTheRoomItUses) {
  // Values wait in mailboxes by the thousand: each holds its own bytes, not a first buffer's worth.
  Bytes out;
  {
    Appender a(out);
    write_int(a, std::int64_t{7});
    write_str(a, "seven");
  }
  EXPECT_EQ(out.size(), 7u);
  EXPECT_EQ(out.capacity(), out.size());
}

TEST(Appender, LeavesNothingWhenNothingIsWritten) {
  Bytes out{1, 2, 3};
  { Appender appender(out); }
  EXPECT_EQ(out, (B{1, 2, 3}));
}

TEST(Reader, IntegersKeepTheirForm) {
  struct Case {
    B bytes;
    Integer expected;
  };
  const std::vector<Case> cases = {
      {{0x05}, Integer::of_unsigned(5)},
      {{0xcc, 0x05}, Integer::of_unsigned(5)},
      {{0xd0, 0x05}, Integer::of_signed(5)},
      {{0xff}, Integer::of_signed(-1)},
      {{0xd1, 0xff, 0x7f}, Integer::of_signed(-129)},
      {{0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, Integer::of_unsigned(UINT64_MAX)},
      {{0xd3, 0x80, 0, 0, 0, 0, 0, 0, 0}, Integer::of_signed(INT64_MIN)},
  };
  for (const auto& c : cases) {
    Reader r(c.bytes);
    auto v = r.read_int();
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(*v, c.expected);
    EXPECT_TRUE(r.at_end());
  }
}

TEST(Reader, RoundTripsEveryIntegerBoundary) {
  const std::vector<std::int64_t> values = {0, 1, 127, 128, 255, 256, 65535, 65536, 4294967295, 4294967296,
                                            INT64_MAX, -1, -32, -33, -128, -129, -32768, -32769,
                                            -2147483648ll, -2147483649ll, INT64_MIN};
  for (auto v : values) {
    Bytes out;
    write_int(out, Integer::of_signed(v));
    Reader r(out);
    auto got = r.read_int();
    ASSERT_TRUE(got.has_value()) << v;
    EXPECT_EQ(got->as_signed(), v);
    EXPECT_EQ(got->is_signed(), v < 0) << "non-negative values travel in unsigned forms";
    EXPECT_TRUE(r.at_end());
  }
}

TEST(Reader, MalformedInputs) {
  struct Case {
    std::string name;
    B bytes;
    std::function<Result<void>(Reader&)> read;
    Malformed expected;
  };
  auto as_void = [](auto r) -> Result<void> {
    if (!r) return std::unexpected(r.error());
    return {};
  };
  const std::vector<Case> cases = {
      {"float as int", {0xcb, 0, 0, 0, 0, 0, 0, 0, 0}, [&](Reader& r) { return as_void(r.read_int()); },
       Malformed::marker(0xcb)},
      {"array count over what remains", {0x95, 1, 2, 3}, [&](Reader& r) { return as_void(r.read_array_len()); },
       Malformed::truncated()},
      {"empty kind", {}, [&](Reader& r) { return as_void(r.kind()); }, Malformed::truncated()},
      {"fixext kind", {0xd4, 0, 0}, [&](Reader& r) { return as_void(r.kind()); }, Malformed::marker(0xd4)},
      {"reserved kind", {0xc1}, [&](Reader& r) { return as_void(r.kind()); }, Malformed::marker(0xc1)},
      {"bad utf8", {0xa2, 0xc3, 0x28}, [&](Reader& r) { return as_void(r.read_str()); }, Malformed::not_utf8()},
      {"skip bad utf8", {0xa2, 0xc3, 0x28}, [](Reader& r) { return r.skip(); }, Malformed::not_utf8()},
      {"surrogate utf8", {0xa3, 0xed, 0xa0, 0x80}, [&](Reader& r) { return as_void(r.read_str()); },
       Malformed::not_utf8()},
      {"skip missing map key", {0x82, 0xa1, 0x61, 0xc0}, [](Reader& r) { return r.skip(); },
       Malformed::truncated()},
      {"str body missing", {0xa5, 'a'}, [&](Reader& r) { return as_void(r.read_str()); }, Malformed::truncated()},
      {"str32 length missing", {0xdb, 0, 0}, [&](Reader& r) { return as_void(r.read_str()); },
       Malformed::truncated()},
      {"bin huge length", {0xc6, 0xff, 0xff, 0xff, 0xff, 1}, [&](Reader& r) { return as_void(r.read_bin()); },
       Malformed::truncated()},
      {"nil wrong", {0xc2}, [](Reader& r) { return r.read_nil(); }, Malformed::marker(0xc2)},
      {"int16 half", {0xcd, 0x01}, [&](Reader& r) { return as_void(r.read_int()); }, Malformed::truncated()},
      {"bin as str", {0xc4, 0}, [&](Reader& r) { return as_void(r.read_str()); }, Malformed::marker(0xc4)},
      {"array32 count huge", {0xdd, 0xff, 0xff, 0xff, 0xff}, [](Reader& r) { return r.skip(); },
       Malformed::truncated()},
  };
  for (const auto& c : cases) {
    Reader r(c.bytes);
    auto got = c.read(r);
    ASSERT_FALSE(got.has_value()) << c.name;
    EXPECT_EQ(got.error(), c.expected) << c.name;
  }
}

TEST(Reader, SkipsNestedValues) {
  B nested{0x92, 0x91, 0xc0, 0xa1, 0x61};
  Reader r(nested);
  ASSERT_TRUE(r.skip().has_value());
  EXPECT_TRUE(r.at_end());

  B map{0x82, 0xa1, 'a', 0xcb, 0, 0, 0, 0, 0, 0, 0, 0, 0xa1, 'b', 0x91, 0xc4, 0x01, 0x09, 0x07};
  Reader m(map);
  ASSERT_TRUE(m.skip().has_value());
  EXPECT_EQ(m.remaining(), 1u);
}

TEST(Reader, ReadsStrAndBinWithoutCopy) {
  Bytes out;
  write_str(out, "héllo");
  B payload{1, 2, 3};
  write_bin(out, payload);
  Reader r(out);
  auto s = r.read_str();
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, "héllo");
  EXPECT_GE(reinterpret_cast<const std::uint8_t*>(s->data()), out.data());
  auto b = r.read_bin();
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(B(b->begin(), b->end()), payload);
}

TEST(Malformed, Texts) {
  EXPECT_EQ(Malformed::truncated().text(), "the payload ends in the middle of a value");
  EXPECT_EQ(Malformed::marker(0xc1).text(), "msgpack marker 0xc1 is not a value of this library");
  EXPECT_EQ(Malformed::marker(5).text(), "msgpack marker 0x05 is not a value of this library");
  EXPECT_EQ(Malformed::not_utf8().text(), "a string is not UTF-8");
  EXPECT_EQ(Malformed::trailing().text(), "the payload holds more than one value");
}

// Random, truncated and mutated payloads: the reader must fail cleanly and never step outside
// its slice.
TEST(Reader, FuzzNeverReadsOutsideTheSlice) {
  std::mt19937_64 rng(12345);
  Bytes seed;
  write_array(seed, 4);
  write_str(seed, "key");
  write_int(seed, Integer::of_signed(-300));
  write_map(seed, 1);
  write_bin(seed, B(40, 7));
  write_f64(seed, 2.5);
  write_array(seed, 2);
  write_nil(seed);
  write_bool(seed, true);
  for (int round = 0; round < 20000; ++round) {
    const Bytes input = testing::fuzz_input(rng, round, seed, 48);
    const testing::Exact exact(input);
    const ByteView view = exact.view();
    Reader r(view);
    for (int step = 0; step < 16 && !r.at_end(); ++step) {
      auto k = r.kind();
      if (!k) break;
      bool ok;
      switch (rng() % 6) {
        case 0: ok = r.skip().has_value(); break;
        case 1: ok = r.read_int().has_value(); break;
        case 2: ok = r.read_str().has_value(); break;
        case 3: ok = r.read_bin().has_value(); break;
        case 4: ok = r.read_array_len().has_value(); break;
        default: ok = r.read_nil().has_value(); break;
      }
      ASSERT_LE(r.position(), view.size());
      if (!ok) break;
    }
  }
}

}  // namespace
}  // namespace vorel::core::msgpack
