// The firmware image: its layout, its version text, the cutting of its
// payload into addressed blocks, the progress a transfer reports per block,
// and loading an image file the one way every reader loads it.
//
// Layout: a 196-byte header (file bytes 2 and 3: minor and major number of
// the version; bytes 44..59: the 16 bytes of image info handed to the
// device), then the payload. The payload goes out in blocks of 4032 bytes;
// block i starts at payload offset 4032*i and has the address 63*i (the
// offset in 64-byte units). There is always one block more than there are
// whole 4032-byte pieces, so the last block may be empty; it is still sent.
//
// Error convention: Load returns null and says why through a LoadError (its
// kind decides what the operator is told; its detail names the file and the
// cause). The pure functions cannot fail; their preconditions are stated.
// Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/files.h"

namespace korrin::image {

inline constexpr std::size_t kHeaderSize = 196;
inline constexpr std::size_t kImageInfoOffset = 44;
inline constexpr std::size_t kImageInfoSize = 16;
inline constexpr std::uint32_t kBlockSize = 4032;
inline constexpr std::uint32_t kAddressStep = kBlockSize / 64;  // 63
// Block addresses travel in 16 bits: 63 * 1040 = 65520 is the last that fits.
inline constexpr std::uint32_t kMaxBlocks = 1041;
inline constexpr std::uint32_t kMaxPayload = kMaxBlocks * kBlockSize - 1;  // 4197311
inline constexpr std::uint64_t kMaxFileLength = kHeaderSize + kMaxPayload;

// "%d.%d" of file byte 3 (major) and file byte 2 (minor). `header` holds at
// least the first four bytes of the file.
std::string VersionText(std::span<const std::uint8_t> header);

// floor(P / 4032) + 1. P must be at most kMaxPayload for the blocks'
// addresses to fit the data frame.
constexpr std::uint32_t BlockCount(std::uint32_t payloadLength) { return payloadLength / kBlockSize + 1; }

struct Block {
  std::uint32_t offset;   // within the payload
  std::uint32_t length;   // 4032, or what remains for the last block (maybe 0)
  std::uint32_t address;  // 63 * index
  bool operator==(const Block&) const = default;
};
// Block `index` of a payload of `payloadLength` bytes; index < BlockCount.
constexpr Block BlockAt(std::uint32_t payloadLength, std::uint32_t index) {
  const std::uint32_t last = BlockCount(payloadLength) - 1;
  return Block{kBlockSize * index, index < last ? kBlockSize : payloadLength % kBlockSize, kAddressStep * index};
}

// Progress of a transfer of `count` blocks around block `index`: the
// percentage reported after the block is written (100 * index / (count - 1),
// so 0 for the first block and 100 for the last), and, when that is above 5,
// the value 5 below it that is reported before the write. The one block of
// a one-block transfer is its last as well: 95 before, 100 after, so that
// the completion runs.
struct BlockProgress {
  std::optional<std::uint32_t> before;
  std::uint32_t after;
  bool operator==(const BlockProgress&) const = default;
};
constexpr BlockProgress ProgressAt(std::uint32_t index, std::uint32_t count) {
  const std::uint32_t p = count <= 1 ? 100 : 100 * index / (count - 1);
  return BlockProgress{p > 5 ? std::optional<std::uint32_t>(p - 5) : std::nullopt, p};
}

// Whether a file of `length` bytes can be a firmware image for this device:
// it holds the whole header, and its payload needs at most 1041 blocks.
enum class LengthVerdict { kFits, kTooShort, kTooLong };
constexpr LengthVerdict CheckLength(std::uint64_t length) {
  if (length < kHeaderSize) return LengthVerdict::kTooShort;
  if (length > kMaxFileLength) return LengthVerdict::kTooLong;
  return LengthVerdict::kFits;
}

struct LoadError {
  enum class Kind {
    kCannotOpen,  // missing, not a regular file, held by another reader, unreadable, short read, no memory
    kNotAnImage,  // shorter than the header, or a payload beyond 1041 blocks
  };
  Kind kind = Kind::kCannotOpen;
  std::string detail;
};

// A loaded image: the open file with its exclusive hold, and the whole file
// in one buffer. Hold it for as long as the image is in use; destroying it
// releases the buffer and the file.
class LoadedImage {
 public:
  // Opens the file, refuses it from its length before allocating anything if
  // it cannot be an image, and reads it whole.
  [[nodiscard]] static std::unique_ptr<LoadedImage> Load(const std::string& path, LoadError* error = nullptr);

  std::span<const std::uint8_t> Bytes() const { return {buffer_.get(), length_}; }
  std::span<const std::uint8_t, kHeaderSize> Header() const {
    return std::span<const std::uint8_t, kHeaderSize>(buffer_.get(), kHeaderSize);
  }
  const std::uint8_t* ImageInfo() const { return buffer_.get() + kImageInfoOffset; }
  std::string Version() const { return VersionText(Header()); }

  std::uint32_t PayloadLength() const { return static_cast<std::uint32_t>(length_ - kHeaderSize); }
  std::uint32_t BlockCount() const { return image::BlockCount(PayloadLength()); }
  Block BlockAt(std::uint32_t index) const { return image::BlockAt(PayloadLength(), index); }
  // The first byte of block `index` (for an empty last block, one past the
  // payload's last byte; nothing may be read there).
  const std::uint8_t* BlockData(std::uint32_t index) const {
    return buffer_.get() + kHeaderSize + BlockAt(index).offset;
  }

 private:
  LoadedImage(std::unique_ptr<platform::ReadOnlyFile> file, std::unique_ptr<std::uint8_t[]> buffer,
              std::size_t length)
      : file_(std::move(file)), buffer_(std::move(buffer)), length_(length) {}
  std::unique_ptr<platform::ReadOnlyFile> file_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t length_;
};

}  // namespace korrin::image
