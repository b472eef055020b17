#include "lzss.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr std::size_t ring_size = 4096;
constexpr std::size_t ring_start = 4078;

Bytes text(const std::string &s) {
  return Bytes(s.begin(), s.end());
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Words from a small vocabulary with earlier stretches copied back in, some from beyond the ring,
// so matches come at every distance; seeded so every run sees the same input.
Bytes text_with_repeats(std::size_t size) {
  static const char *const words[] = {"lua ",   "state ",  "push ", "table ", "quillet ", "return ",
                                      "local ", "string ", "end\n", "if ",    "then ",    "nil "};
  std::mt19937 rng(12345);
  Bytes out;
  while (out.size() < size) {
    if (out.size() > 64 && rng() % 8 == 0) {
      const std::size_t from = rng() % std::min<std::size_t>(out.size() - 32, 3 * ring_size);
      const std::size_t count = 20 + rng() % 180;
      for (std::size_t k = 0; k < count; ++k)
        out.push_back(out[out.size() - 32 - from]);
    } else {
      const std::string word = words[rng() % std::size(words)];
      out.insert(out.end(), word.begin(), word.end());
    }
  }
  out.resize(size);
  return out;
}

Bytes random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (unsigned char &b : out)
    b = static_cast<unsigned char>(rng());
  return out;
}

Bytes crlf_source() {
  std::ifstream in(LZSS_SOURCE_FILE, std::ios::binary);
  Bytes out;
  for (char c; in.get(c);) {
    if (c == '\n') out.push_back('\r');
    out.push_back(static_cast<unsigned char>(c));
  }
  return out;
}

// An encoded stream taken apart independently of the decoder, to see what the encoder chose.
struct Item {
  std::size_t produced; // output bytes before this item
  bool literal;
  std::size_t position;
  std::size_t length;
};

struct Parsed {
  std::vector<Item> items;
  unsigned last_flags = 0;
  unsigned last_group_items = 0;
  std::size_t consumed = 0;
};

Parsed parse(const Bytes &packed) {
  const std::size_t length =
      packed.at(0) | packed.at(1) << 8 | packed.at(2) << 16 | std::size_t{packed.at(3)} << 24;
  Parsed parsed;
  std::size_t at = 4;
  std::size_t produced = 0;
  while (produced < length) {
    if (parsed.items.size() % 8 == 0) {
      parsed.last_flags = packed.at(at++);
      parsed.last_group_items = 0;
    }
    const bool literal = parsed.last_flags >> parsed.last_group_items & 1;
    ++parsed.last_group_items;
    if (literal) {
      parsed.items.push_back({produced, true, 0, 1});
      ++at;
    } else {
      const std::size_t position = packed.at(at) | (packed.at(at + 1) & 0xF0) << 4;
      parsed.items.push_back({produced, false, position, (packed.at(at + 1) & 0x0Fu) + 3});
      at += 2;
    }
    produced += parsed.items.back().length;
  }
  parsed.consumed = at;
  return parsed;
}

std::size_t distance(const Item &item) {
  const std::size_t back = (ring_start + item.produced - item.position) % ring_size;
  return back == 0 ? ring_size : back;
}

// What a plain greedy longest-match parse would take, by brute force over the whole ring.
std::size_t greedy_size(const Bytes &data) {
  std::size_t bits = 0;
  for (std::size_t i = 0; i < data.size();) {
    const std::size_t limit = std::min<std::size_t>(18, data.size() - i);
    std::size_t best = 0;
    for (std::size_t j = i > ring_size ? i - ring_size : 0; j < i; ++j) {
      std::size_t length = 0;
      while (length < limit && data[j + length] == data[i + length])
        ++length;
      best = std::max(best, length);
    }
    bits += best >= 3 ? 17 : 9;
    i += best >= 3 ? best : 1;
  }
  return 4 + (bits + 7) / 8;
}

Bytes run_of_a() {
  return Bytes(1000, 'a');
}

// Thirty distinct bytes, then the last twenty again: the only useful source starts at ring
// position 4088 and runs over the ring's end.
Bytes across_ring_end() {
  Bytes out;
  for (unsigned char b = 0; b < 30; ++b)
    out.push_back(b);
  for (unsigned char b = 10; b < 30; ++b)
    out.push_back(b);
  return out;
}

// Its only repeat sits exactly one ring length back.
Bytes full_ring_back() {
  Bytes out = random_bytes(ring_size, 7);
  out.insert(out.end(), out.begin(), out.begin() + 18);
  return out;
}

Bytes all_byte_values() {
  Bytes out;
  for (int round = 0; round < 3; ++round)
    for (int b = 0; b < 256; ++b)
      out.push_back(static_cast<unsigned char>(b));
  return cat({out, random_bytes(5000, 99), out});
}

struct Sample {
  const char *name;
  Bytes data;
};

std::vector<Sample> samples() {
  Bytes period3;
  for (int i = 0; i < 100; ++i)
    period3.insert(period3.end(), {'x', 'y', 'z'});
  period3.push_back('!');
  return {
      {"Empty", {}},
      {"OneByte", text("q")},
      {"RunOf1000", run_of_a()},
      {"OverlappingPeriod3", period3},
      {"AcrossRingEnd", across_ring_end()},
      {"FullRingBack", full_ring_back()},
      {"TextOver100KB", text_with_repeats(size_t(100) * 1024)},
      {"AllByteValues", all_byte_values()},
  };
}

class Encoded : public testing::TestWithParam<Sample> {};

TEST_P(Encoded, RoundTrips) {
  const Bytes &data = GetParam().data;
  Bytes out;
  EXPECT_EQ(lzss_decode(lzss_encode(data), out), "");
  EXPECT_EQ(out, data);
}

TEST_P(Encoded, EndsCleanlyWithSpareFlagBitsClear) {
  const Bytes packed = lzss_encode(GetParam().data);
  const Parsed parsed = parse(packed);
  EXPECT_EQ(parsed.consumed, packed.size());
  EXPECT_EQ(parsed.last_flags >> parsed.last_group_items, 0u);
}

TEST_P(Encoded, NoLargerThanGreedy) {
  const Bytes &data = GetParam().data;
  EXPECT_LE(lzss_encode(data).size(), greedy_size(data));
}

INSTANTIATE_TEST_SUITE_P(Samples, Encoded, testing::ValuesIn(samples()),
                         [](const testing::TestParamInfo<Sample> &info) {
                           return info.param.name;
                         });

bool has_reference(const Bytes &data, bool (*wanted)(const Item &)) {
  const Parsed parsed = parse(lzss_encode(data));
  return std::any_of(parsed.items.begin(), parsed.items.end(),
                     [wanted](const Item &item) { return !item.literal && wanted(item); });
}

TEST(Encoder, RunUsesReferencesThatOverlapTheirOwnOutput) {
  // One literal, then 999 bytes in 56 references: 57 items need 8 flag bytes.
  EXPECT_LE(lzss_encode(run_of_a()).size(), 4u + 8 + 1 + 56 * 2);
  EXPECT_TRUE(has_reference(
      run_of_a(), [](const Item &item) { return distance(item) == 1 && item.length == 18; }));
}

TEST(Encoder, ReferenceSpansRingEnd) {
  EXPECT_TRUE(has_reference(
      across_ring_end(), [](const Item &item) { return item.position + item.length > ring_size; }));
}

TEST(Encoder, ReferenceReachesFullRingBack) {
  EXPECT_TRUE(has_reference(full_ring_back(),
                            [](const Item &item) { return distance(item) == ring_size; }));
}

TEST(Encoder, CompressesCrlfSource) {
  const Bytes source = crlf_source();
  ASSERT_GT(source.size(), 1000u);
  const Bytes packed = lzss_encode(source);
  EXPECT_LT(packed.size(), source.size() * 6 / 10);
  Bytes out;
  EXPECT_EQ(lzss_decode(packed, out), "");
  EXPECT_EQ(out, source);
}

struct Stream {
  const char *name;
  Bytes packed;
  std::string output;
  std::string error;
};

const std::string unwritten = "reference to an unwritten ring position";
const std::string ends_early = "stream ends before the declared length";

// References below are written out by hand: ring position 4078 is 0xFEE, so 0xEE then 0xF0 | (L-3).
const Stream streams[] = {
    {"LiteralsThenOverlappingReference", {6, 0, 0, 0, 0x03, 'a', 'b', 0xEE, 0xF1}, "ababab", ""},
    {"SelfOverlappingRun", {4, 0, 0, 0, 0x01, 'a', 0xEE, 0xF0}, "aaaa", ""},
    {"ReferenceAcrossRingEnd",
     cat({{24, 0, 0, 0, 0xFF},
          text("abcdefgh"),
          {0xFF},
          text("ijklmnop"),
          {0x0F},
          text("qrst"),
          {0xFE, 0xF1}}),
     "abcdefghijklmnopqrstqrst", ""},
    {"HeaderOnly", {0, 0, 0, 0}, "", ""},
    {"StopsAtDeclaredLength", {1, 0, 0, 0, 0x01, 'z', 0xEE, 0xF0, 'j', 'u', 'n', 'k'}, "z", ""},
    {"EmptyInput", {}, "", "truncated header"},
    {"TruncatedHeader", {1, 0, 0}, "", "truncated header"},
    {"NoFlagByte", {1, 0, 0, 0}, "", ends_early},
    {"TruncatedInGroup", {3, 0, 0, 0, 0xFF, 'a', 'b'}, "", ends_early},
    {"ReferenceMissing", {5, 0, 0, 0, 0x01, 'a'}, "", ends_early},
    {"ReferenceHalfMissing", {5, 0, 0, 0, 0x01, 'a', 0xEE}, "", "reference cut short"},
    {"ReferenceFirst", {3, 0, 0, 0, 0x00, 0xEE, 0xF0}, "", unwritten},
    {"ReferenceToByteBeingWritten", {4, 0, 0, 0, 0x01, 'a', 0xEF, 0xF0}, "", unwritten},
    {"ReferenceBeforeFirstByte", {4, 0, 0, 0, 0x01, 'a', 0xED, 0xF0}, "", unwritten},
    {"ReferencePastDeclaredLength",
     {4, 0, 0, 0, 0x01, 'a', 0xEE, 0xF1},
     "",
     "reference runs past the declared length"},
};

class Decoded : public testing::TestWithParam<Stream> {};

TEST_P(Decoded, GivesOutputOrError) {
  Bytes out;
  EXPECT_EQ(lzss_decode(GetParam().packed, out), GetParam().error);
  EXPECT_EQ(out, text(GetParam().output));
}

INSTANTIATE_TEST_SUITE_P(Streams, Decoded, testing::ValuesIn(streams),
                         [](const testing::TestParamInfo<Stream> &info) {
                           return info.param.name;
                         });

} // namespace
