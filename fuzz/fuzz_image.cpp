// The image loader and the block cutter on any file contents.
//
// The input is the file. It is loaded the way every reader of an image loads
// it, then cut into blocks; every byte of every block is read, so a block that
// reaches past the loaded bytes is an out-of-bounds read under ASan. The
// first eight bytes, read as a file length, also drive the pure length rules
// and the cutter for lengths no input could reach (up to the largest image).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "image/image.h"

namespace {

using namespace korrin::image;

// The image file lives in memory; the loader opens it by path like any file.
const std::string& ImagePath() {
  static const std::string path = [] {
    const int fd = ::memfd_create("korrin-fuzz-image", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    return "/proc/self/fd/" + std::to_string(fd);
  }();
  return path;
}

void WriteImage(const std::uint8_t* data, std::size_t size) {
  const int fd = std::stoi(ImagePath().substr(std::strlen("/proc/self/fd/")));
  FUZZ_CHECK(::ftruncate(fd, 0) == 0);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    FUZZ_CHECK(n > 0);
    done += static_cast<std::size_t>(n);
  }
}

// The cutting rules for a payload of `payload` bytes: the blocks tile the
// payload in order, each at most 4032 bytes, at 63 x its index, and the
// progress runs from 0 to exactly 100.
void CheckCutting(std::uint32_t payload) {
  const std::uint32_t count = BlockCount(payload);
  FUZZ_CHECK(count >= 1 && count <= kMaxBlocks);
  std::uint64_t covered = 0;
  std::uint32_t lastAfter = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const Block block = BlockAt(payload, i);
    FUZZ_CHECK(block.offset == covered);
    FUZZ_CHECK(block.length <= kBlockSize);
    FUZZ_CHECK(i + 1 == count || block.length == kBlockSize);
    FUZZ_CHECK(block.address == block.offset / 64 && block.address <= 0xFFFF);
    covered += block.length;
    const BlockProgress progress = ProgressAt(i, count);
    FUZZ_CHECK(progress.after <= 100 && progress.after >= lastAfter);
    FUZZ_CHECK(!progress.before || *progress.before + 5 == progress.after);
    lastAfter = progress.after;
  }
  FUZZ_CHECK(covered == payload);
  FUZZ_CHECK(lastAfter == 100);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size >= 8) {
    std::uint64_t length = 0;
    std::memcpy(&length, data, sizeof length);
    // Folded into the range around the limits so that both sides of them come up.
    length %= kMaxFileLength + 2 * kBlockSize;
    const LengthVerdict verdict = CheckLength(length);
    FUZZ_CHECK((verdict == LengthVerdict::kTooShort) == (length < kHeaderSize));
    FUZZ_CHECK((verdict == LengthVerdict::kTooLong) == (length > kMaxFileLength));
    if (verdict == LengthVerdict::kFits) CheckCutting(static_cast<std::uint32_t>(length - kHeaderSize));
  }

  WriteImage(data, size);
  LoadError error;
  auto image = LoadedImage::Load(ImagePath(), &error);
  if (size < kHeaderSize) {
    FUZZ_CHECK(image == nullptr && error.kind == LoadError::Kind::kNotAnImage && !error.detail.empty());
    return 0;
  }
  FUZZ_CHECK(image != nullptr);
  FUZZ_CHECK(image->Bytes().size() == size && std::memcmp(image->Bytes().data(), data, size) == 0);
  FUZZ_CHECK(image->PayloadLength() == size - kHeaderSize);
  FUZZ_CHECK(image->Version() == std::to_string(data[3]) + "." + std::to_string(data[2]));
  FUZZ_CHECK(std::memcmp(image->ImageInfo(), data + kImageInfoOffset, kImageInfoSize) == 0);
  CheckCutting(image->PayloadLength());

  // Every block's bytes are the file's bytes at its offset.
  for (std::uint32_t i = 0; i < image->BlockCount(); ++i) {
    const Block block = image->BlockAt(i);
    const std::uint8_t* bytes = image->BlockData(i);
    if (block.length == 0) continue;  // an empty last block points one past the end
    FUZZ_CHECK(std::memcmp(bytes, data + kHeaderSize + block.offset, block.length) == 0);
  }
  return 0;
}
