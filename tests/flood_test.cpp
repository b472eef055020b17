// Mutation flood: thousands of scripts derived from valid ones by a seeded generator, each run
// once. Whatever the engine makes of them, the host must exit 0 with nothing on standard error
// (no sanitizer report when the program is a sanitized build) and save each one byte for byte.
#include "fixture.h"

#include <cstdint>

namespace {

// Valid scripts touching most of the syntax and the libraries. Loops count to small constants
// (a condition or a backward goto is one flipped byte from looping forever) and no pattern
// backtracks, so that no mutation of them runs for long.
const std::string seeds[] = {
    R"lua(local t = {1, 2, 3, n = 'x', [4] = {y = 5}}
local sum = 0
for i, v in ipairs(t) do sum = sum + v * i end
for k, v in pairs(t) do sum = sum + #tostring(k) end
return sum, t[4].y, #t
)lua",
    R"lua(local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end
local co = coroutine.create(function(a, b)
  local c = coroutine.yield(a + b)
  return c * 2, fib(10)
end)
print(coroutine.resume(co, 1, 2))
print(coroutine.resume(co, 10))
return coroutine.status(co)
)lua",
    R"lua(local s = [[long
string]] .. "esc\t\n\65\x42\"" .. 'single\'' .. [==[ ]] ]==]
-- a comment
--[[ a long
comment ]]
print(#s, s:upper(), s:sub(2, 5), s:byte(1, 3))
return string.format('%5.2f|%d|%s|%q|%x', 3.14159, 42, 'str', 'q\n', 255)
)lua",
    R"lua(local mt = {__index = function(t, k) return k .. '!' end,
  __add = function(a, b) return 'added' end, __call = function(self, x) return x + 1 end,
  __tostring = function() return 'obj' end, __len = function() return 99 end}
local o = setmetatable({}, mt)
print(o.key, o + o, o(41), tostring(o), #o)
local g = setmetatable({}, {__gc = function() io.write('gc ') end})
g = nil collectgarbage()
return rawget(o, 'key'), rawlen({1, 2})
)lua",
    R"lua(local ok, err = pcall(error, {code = 7})
print(ok, type(err), err.code)
print(pcall(error, 'msg', 0))
print(xpcall(function() local x = nil; return x.y end, debug.traceback) and 'ok' or 'tb')
print(select('#', 1, nil, 3), select(2, 'a', 'b', 'c'))
local f = load('return ... , 1 + 2')
return f('vararg')
)lua",
    R"lua(local t = {}
for i = 10, 1, -1 do t[#t + 1] = i * 3 % 7 end
table.sort(t, function(a, b) return a > b end)
table.insert(t, 1, 'first') table.remove(t)
print(table.concat(t, ','), table.unpack({1, 2, 3}))
print(math.floor(-3.5), math.max(1, 9, 4), math.huge, -math.huge, 0/0 ~= 0/0)
print(bit32.band(0xff, 0x0f), bit32.lshift(1, 4), bit32.bxor(5, 3))
return 2^10, 7 // 1 == nil
)lua",
    R"lua(local i = 0
for j = 1, 5 do
  if j % 2 == 0 then goto continue end
  i = i + j
  ::continue::
end
local r = {}
for w in ('one two three'):gmatch('%a+') do r[#r + 1] = w:reverse() end
print(('hello world'):gsub('o', '0'), ('abc'):find('b', 1, true), ('x=1'):match('(%w)=(%d)'))
return i, table.concat(r, ' '), #r
)lua",
    R"lua(local function counter()
  local n = 0
  return function(...) n = n + select('#', ...) return n end
end
local c = counter() c(1, 2) c(nil)
local a, b, c2 = (function(...) return ... end)(1, 2)
local s = ''
for k = 1, 10 do s = s .. 'ab' end
while false do s = nil end
repeat s = s:sub(2) until true
return c(), a, b, c2, s, not nil, 1 == 1.0, 'a' < 'b', #{n = 1}
)lua",
};

// xorshift64*: the same sequence on every platform, unlike the standard distributions.
class Random {
  uint64_t state;

public:
  explicit Random(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t next() {
    state ^= state >> 12, state ^= state << 25, state ^= state >> 27;
    return state * 0x2545F4914F6CDD1Dull;
  }
  size_t below(size_t n) { return n ? size_t(next() % n) : 0; }
};

const char *const tokens[] = {"end", "(",  ")",  "{",   "}",      "[[",  "]]",       "--[[",  "'",
                              "\"",  "\\", "..", "...", "goto",   "::",  "function", "local", "=",
                              ",",   ";",  "#",  "nil", "return", "and", "%",        "\n"};

// One input derived from seed number `which` with a few mutations of the kinds that break
// readers and parsers: byte flips, cuts, splices, long lines, NUL bytes, stray tokens.
std::string mutate(size_t which, Random &random) {
  std::string text = seeds[which];
  for (size_t steps = 1 + random.below(3); steps > 0; --steps) {
    size_t at = random.below(text.size() + 1);
    switch (random.below(8)) {
    case 0: // flip one bit
      if (at < text.size()) text[at] = char(text[at] ^ (1 << random.below(8)));
      break;
    case 1: // replace a byte with any byte
      if (at < text.size()) text[at] = char(random.below(256));
      break;
    case 2: // cut the end off
      text.resize(at);
      break;
    case 3: { // splice in the end of another seed
      const std::string &other = seeds[random.below(std::size(seeds))];
      text = text.substr(0, at) + other.substr(random.below(other.size()));
      break;
    }
    case 4: // a long line
      text.insert(at, 1 + random.below(8192), "ax =-(['\" \t"[random.below(11)]);
      break;
    case 5: // NUL bytes
      text.insert(at, 1 + random.below(4), '\0');
      break;
    case 6: // a stray token
      text.insert(at, tokens[random.below(std::size(tokens))]);
      break;
    case 7: { // repeat or drop a slice
      size_t length = random.below(text.size() - std::min(at, text.size()) + 1);
      if (random.below(2))
        text.insert(at, text.substr(at, length));
      else
        text.erase(at, length);
      break;
    }
    }
  }
  return text;
}

bool carries_signature(const std::string &text) {
  return text.size() >= 5 && text.compare(1, 4, "LuaR") == 0;
}

class Flood : public Quillet, public ::testing::WithParamInterface<size_t> {};

// 300 inputs from each valid script, with a generator seeded by its number.
TEST_P(Flood, MutatedScriptsRunCleanly) {
  const size_t which = GetParam();
  Random random(1000 + which);
  int failures = 0, runs = 0;
  for (int i = 0; i < 300 && failures < 10; ++i) {
    std::string input = mutate(which, random);
    if (carries_signature(input)) continue; // precompiled code is trusted, not checked
    ++runs;
    write("tmp.lua", "previous");
    RunResult result = run_script(input);
    bool clean = !result.timed_out && result.signal == 0 && result.status == 0 &&
                 result.err.empty() && read("tmp.lua") == input &&
                 other_files({"script.lua", "tmp.lua"}).empty();
    if (!clean) ++failures;
    EXPECT_TRUE(clean) << "input " << i << " of seed " << which << ": status " << result.status
                       << ", signal " << result.signal << ", standard error:\n"
                       << result.err.substr(0, 4000) << "\ninput:\n"
                       << input.substr(0, 2000);
  }
  RecordProperty("inputs", runs);
  EXPECT_GT(runs, 290);
}

INSTANTIATE_TEST_SUITE_P(Seeds, Flood, ::testing::Range(size_t(0), std::size(seeds)));

} // namespace
