// Draws quillet's icon, a 32x32 24-bit Windows icon: a night-blue disc with a pale moon beside it
// and a white quill across it. Usage: make_icon OUT.ico
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int size = 32;

struct Pixel {
  uint8_t b, g, r;
  bool opaque;
};

// Distance from point p to the segment a-b, for the quill's stroke.
double segment_distance(double px, double py, double ax, double ay, double bx, double by) {
  double dx = bx - ax, dy = by - ay;
  double t = std::fmax(0, std::fmin(1, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)));
  return std::hypot(px - ax - t * dx, py - ay - t * dy);
}

// Colour of the pixel at column x, row y (row 0 at the top).
Pixel pixel_at(int x, int y) {
  double cx = x + 0.5, cy = y + 0.5;
  double quill = segment_distance(cx, cy, 7, 27, 25, 6);
  double along = (cx - 7) / 18; // 0 at the nib, 1 at the feather's end
  if (quill < 0.8 + 2.2 * along * (1 - along) * 2 && along > 0.05) return {250, 250, 250, true};
  if (std::hypot(cx - 26, cy - 6) < 4.5) return {200, 220, 235, true};
  if (std::hypot(cx - 14, cy - 17) < 13.5) return {128, 0, 0, true};
  return {0, 0, 0, false};
}

void put16(std::vector<uint8_t> &out, unsigned v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}

void put32(std::vector<uint8_t> &out, unsigned v) {
  put16(out, v & 0xffff);
  put16(out, v >> 16);
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icon OUT.ico\n");
    return 2;
  }
  constexpr unsigned colour_bytes = size * size * 3, mask_bytes = size * 4;
  constexpr unsigned image_bytes = 40 + colour_bytes + mask_bytes;
  std::vector<uint8_t> ico;
  put16(ico, 0); // icon directory: reserved, type 1 (icon), one image
  put16(ico, 1);
  put16(ico, 1);
  ico.push_back(size); // the image's entry: size, no palette, 1 plane, 24 bits, where it is
  ico.push_back(size);
  ico.push_back(0);
  ico.push_back(0);
  put16(ico, 1);
  put16(ico, 24);
  put32(ico, image_bytes);
  put32(ico, 22);
  put32(ico, 40); // bitmap header; the height counts the colour rows and the mask rows
  put32(ico, size);
  put32(ico, 2 * size);
  put16(ico, 1);
  put16(ico, 24);
  put32(ico, 0);
  put32(ico, colour_bytes + mask_bytes);
  for (int i = 0; i < 4; ++i)
    put32(ico, 0);
  for (int y = size - 1; y >= 0; --y) // rows run bottom up
    for (int x = 0; x < size; ++x) {
      Pixel p = pixel_at(x, y);
      ico.insert(ico.end(), {p.b, p.g, p.r});
    }
  for (int y = size - 1; y >= 0; --y) { // the mask: a set bit is transparent
    uint32_t row = 0;
    for (int x = 0; x < size; ++x)
      if (!pixel_at(x, y).opaque) row |= 0x80000000u >> x;
    ico.insert(ico.end(),
               {uint8_t(row >> 24), uint8_t(row >> 16), uint8_t(row >> 8), uint8_t(row)});
  }
  FILE *out = std::fopen(argv[1], "wb");
  bool ok = out && std::fwrite(ico.data(), 1, ico.size(), out) == ico.size();
  if (out && std::fclose(out) != 0) ok = false;
  if (!ok) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
