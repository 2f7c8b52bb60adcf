// Writes the program's icon IDR_MAINFRAME as PNG files for the desktop:
// NAME-SIZE.png in OUTDIR for each size, scaled up without smoothing so the
// 16 x 16 picture stays crisp.
//
//   korrin-icon-export OUTDIR NAME SIZE...
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ui/app_resources.h"

namespace {

void PutBe32(std::vector<unsigned char>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

void Chunk(std::vector<unsigned char>& png, const char* type, const std::vector<unsigned char>& data) {
  PutBe32(png, static_cast<std::uint32_t>(data.size()));
  const std::size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  const uLong crc = crc32(0L, png.data() + start, static_cast<uInt>(png.size() - start));
  PutBe32(png, static_cast<std::uint32_t>(crc));
}

bool WritePng(const std::string& path, const korrin::window::Icon& icon, int size) {
  // Rows of RGBA, each after its filter byte (0: none).
  std::vector<unsigned char> raw;
  raw.reserve(static_cast<std::size_t>(size) * (static_cast<std::size_t>(size) * 4 + 1));
  for (int y = 0; y < size; ++y) {
    raw.push_back(0);
    for (int x = 0; x < size; ++x) {
      const std::uint32_t p =
          icon.argb[static_cast<std::size_t>((y * icon.height / size) * icon.width + x * icon.width / size)];
      raw.push_back(static_cast<unsigned char>(p >> 16));
      raw.push_back(static_cast<unsigned char>(p >> 8));
      raw.push_back(static_cast<unsigned char>(p));
      raw.push_back(static_cast<unsigned char>(p >> 24));
    }
  }
  uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
  std::vector<unsigned char> packed(packedSize);
  if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 9) != Z_OK) return false;
  packed.resize(packedSize);

  std::vector<unsigned char> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<unsigned char> header;
  PutBe32(header, static_cast<std::uint32_t>(size));
  PutBe32(header, static_cast<std::uint32_t>(size));
  header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no filter set, no interlace
  Chunk(png, "IHDR", header);
  Chunk(png, "IDAT", packed);
  Chunk(png, "IEND", {});

  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(png.data(), 1, png.size(), file) == png.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s OUTDIR NAME SIZE...\n", argv[0]);
    return 2;
  }
  const korrin::window::Icon icon = korrin::ui::DrawMainFrameIcon();
  for (int i = 3; i < argc; ++i) {
    const int size = std::atoi(argv[i]);
    const std::string path = std::string(argv[1]) + "/" + argv[2] + "-" + argv[i] + ".png";
    if (size < icon.width || size % icon.width != 0 || !WritePng(path, icon, size)) {
      std::fprintf(stderr, "%s: cannot write %s at %s pixels\n", argv[0], path.c_str(), argv[i]);
      return 1;
    }
  }
  return 0;
}
