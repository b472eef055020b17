#include "lzss.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace {

constexpr std::size_t ring_size = 4096;
constexpr std::size_t ring_mask = ring_size - 1;
constexpr std::size_t min_match = 3;
constexpr std::size_t max_match = 18;
// Fixed by the format: the first byte lands one maximal match short of the ring's end.
constexpr std::size_t ring_start = ring_size - max_match;
constexpr std::size_t header_size = 4;

// Each item also takes one flag bit, so a parse costs header + ceil(bits / 8) bytes and minimising
// bits minimises the output size exactly.
constexpr std::uint64_t literal_bits = 9;
constexpr std::uint64_t reference_bits = 17;

constexpr unsigned hash_bits = 15;
constexpr std::size_t no_position = std::numeric_limits<std::size_t>::max();

struct Match {
  std::uint16_t length; // 0 when no match of at least min_match bytes exists
  std::uint16_t distance;
};

std::size_t hash3(const unsigned char *p) {
  const std::uint32_t key = p[0] | p[1] << 8 | p[2] << 16;
  return (key * 2654435761u) >> (32 - hash_bits);
}

// The longest match at every position, not just where a greedy parse would look, because the
// optimal parse below may start an item anywhere.
std::vector<Match> longest_matches(const std::vector<unsigned char> &data) {
  const std::size_t n = data.size();
  std::vector<Match> matches(n, Match{0, 0});
  std::vector<std::size_t> head(std::size_t{1} << hash_bits, no_position);
  // Indexed by position modulo the ring: a slot is only reused once its position is out of reach.
  std::vector<std::size_t> previous(ring_size, no_position);
  for (std::size_t i = 0; i + min_match <= n; ++i) {
    const std::size_t h = hash3(&data[i]);
    const std::size_t limit = std::min(max_match, n - i);
    std::size_t best = 0;
    for (std::size_t j = head[h]; j != no_position && i - j <= ring_size;
         j = previous[j & ring_mask]) {
      // A candidate can only beat the best so far if it also matches at the byte that ended it.
      if (data[j + best] != data[i + best]) continue;
      std::size_t length = 0;
      while (length < limit && data[j + length] == data[i + length])
        ++length;
      if (length > best) {
        best = length;
        matches[i].distance = static_cast<std::uint16_t>(i - j);
        if (best == limit) break;
      }
    }
    if (best >= min_match) matches[i].length = static_cast<std::uint16_t>(best);
    previous[i & ring_mask] = head[h];
    head[h] = i;
  }
  return matches;
}

} // namespace

std::vector<unsigned char> lzss_encode(const std::vector<unsigned char> &data) {
  const std::size_t n = data.size();
  std::vector<Match> choice = longest_matches(data);

  // Any shorter prefix of a match is a match at the same distance and every reference costs the
  // same, so the longest length per position is all the parse needs.
  std::vector<std::uint64_t> cost(n + 1, 0);
  for (std::size_t i = n; i-- > 0;) {
    cost[i] = literal_bits + cost[i + 1];
    std::uint16_t chosen = 0;
    for (std::uint16_t length = min_match; length <= choice[i].length; ++length) {
      if (reference_bits + cost[i + length] < cost[i]) {
        cost[i] = reference_bits + cost[i + length];
        chosen = length;
      }
    }
    choice[i].length = chosen;
  }

  std::vector<unsigned char> out;
  out.reserve(header_size + n + n / 8 + 1);
  for (unsigned shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<unsigned char>(n >> shift));
  std::size_t flag_at = 0;
  unsigned items = 8;
  auto start_item = [&](bool literal) {
    if (items == 8) {
      flag_at = out.size();
      out.push_back(0);
      items = 0;
    }
    if (literal) out[flag_at] |= static_cast<unsigned char>(1u << items);
    ++items;
  };
  for (std::size_t i = 0; i < n;) {
    if (choice[i].length == 0) {
      start_item(true);
      out.push_back(data[i]);
      ++i;
      continue;
    }
    const std::size_t source = (ring_start + i - choice[i].distance) & ring_mask;
    start_item(false);
    out.push_back(static_cast<unsigned char>(source));
    out.push_back(static_cast<unsigned char>((source >> 8) << 4 | (choice[i].length - min_match)));
    i += choice[i].length;
  }
  return out;
}

std::string lzss_decode(const std::vector<unsigned char> &packed, std::vector<unsigned char> &out) {
  out.clear();
  auto fail = [&out](const char *reason) {
    out.clear();
    return std::string(reason);
  };
  if (packed.size() < header_size) return fail("truncated header");
  const std::size_t length = std::size_t{packed[0]} | std::size_t{packed[1]} << 8 |
                             std::size_t{packed[2]} << 16 | std::size_t{packed[3]} << 24;
  // The header is untrusted: reserve no more than the stream could expand to (at most 144 bytes
  // per 17-byte group).
  out.reserve(std::min(length, (packed.size() - header_size) * 9));

  std::array<unsigned char, ring_size> ring{};
  auto put = [&](unsigned char c) {
    ring[(ring_start + out.size()) & ring_mask] = c;
    out.push_back(c);
  };
  std::size_t at = header_size;
  unsigned flags = 0;
  unsigned flags_left = 0;
  while (out.size() < length) {
    if (flags_left == 0) {
      if (at == packed.size()) return fail("stream ends before the declared length");
      flags = packed[at++];
      flags_left = 8;
    }
    const bool literal = flags & 1;
    flags >>= 1;
    --flags_left;
    if (literal) {
      if (at == packed.size()) return fail("stream ends before the declared length");
      put(packed[at++]);
      continue;
    }
    if (at == packed.size()) return fail("stream ends before the declared length");
    if (at + 1 == packed.size()) return fail("reference cut short");
    const std::size_t source = packed[at] | std::size_t{packed[at + 1] & 0xF0u} << 4;
    const std::size_t count = (packed[at + 1] & 0x0Fu) + min_match;
    at += 2;
    // The encoder never overshoots, so an overshoot means damage; trimming it would hide that.
    if (count > length - out.size()) return fail("reference runs past the declared length");
    // Source and write position advance together, so if the first byte read has been written,
    // every later one (including bytes this reference produces itself) has been too.
    const std::size_t back = (ring_start + out.size() - source - 1) & ring_mask;
    if (back >= std::min(out.size(), ring_size))
      return fail("reference to an unwritten ring position");
    for (std::size_t k = 0; k < count; ++k)
      put(ring[(source + k) & ring_mask]);
  }
  return {};
}
