#include "lzss.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int fail(const std::string &reason) {
  std::fprintf(stderr, "lzss: %s\n", reason.c_str());
  return 1;
}

std::string system_error(const char *what, const std::string &name) {
  return std::string(what) + " " + (name == "-" ? "standard stream" : name) + ": " +
         std::strerror(errno);
}

std::string read_all(const std::string &name, std::vector<unsigned char> &data) {
  std::FILE *in = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
  if (!in) return system_error("cannot open", name);
  unsigned char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0)
    data.insert(data.end(), buffer, buffer + got);
  const bool failed = std::ferror(in);
  if (in != stdin) std::fclose(in);
  return failed ? system_error("cannot read", name) : std::string();
}

std::string write_all(const std::string &name, const std::vector<unsigned char> &data) {
  std::FILE *out = name == "-" ? stdout : std::fopen(name.c_str(), "wb");
  if (!out) return system_error("cannot open", name);
  bool failed = std::fwrite(data.data(), 1, data.size(), out) != data.size();
  failed = std::fflush(out) != 0 || failed;
  if (out != stdout) failed = std::fclose(out) != 0 || failed;
  return failed ? system_error("cannot write", name) : std::string();
}

} // namespace

int main(int argc, char **argv) {
  const std::string mode = argc == 4 ? argv[1] : "";
  if (mode != "encode" && mode != "decode")
    return fail("usage: lzss encode|decode IN OUT (- for standard input/output)");

  std::vector<unsigned char> in;
  if (std::string error = read_all(argv[2], in); !error.empty()) return fail(error);

  std::vector<unsigned char> out;
  if (mode == "encode") {
    if (in.size() > UINT32_MAX) return fail("input too large: the length field has 32 bits");
    out = lzss_encode(in);
  } else if (std::string error = lzss_decode(in, out); !error.empty()) {
    return fail(error);
  }

  if (std::string error = write_all(argv[3], out); !error.empty()) return fail(error);
  return 0;
}
