#include "image/image.h"

#include <cstdio>
#include <new>

namespace korrin::image {

std::string VersionText(std::span<const std::uint8_t> header) {
  char text[8];
  std::snprintf(text, sizeof text, "%d.%d", static_cast<int>(header[3]), static_cast<int>(header[2]));
  return text;
}

std::unique_ptr<LoadedImage> LoadedImage::Load(const std::string& path, LoadError* error) {
  auto fail = [error](LoadError::Kind kind, std::string detail) -> std::unique_ptr<LoadedImage> {
    if (error != nullptr) *error = LoadError{kind, std::move(detail)};
    return nullptr;
  };
  std::string why;
  auto file = platform::ReadOnlyFile::Open(path, &why);
  if (!file) return fail(LoadError::Kind::kCannotOpen, why);

  const std::uint64_t length = file->Length();
  switch (CheckLength(length)) {
    case LengthVerdict::kTooShort:
      return fail(LoadError::Kind::kNotAnImage, "\"" + path + "\": " + std::to_string(length) +
                                                    " bytes, shorter than the " + std::to_string(kHeaderSize) +
                                                    "-byte header");
    case LengthVerdict::kTooLong:
      return fail(LoadError::Kind::kNotAnImage, "\"" + path + "\": " + std::to_string(length) +
                                                    " bytes, more payload than " + std::to_string(kMaxBlocks) +
                                                    " blocks can address");
    case LengthVerdict::kFits:
      break;
  }
  const auto size = static_cast<std::size_t>(length);
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[size]);
  if (!buffer) {
    return fail(LoadError::Kind::kCannotOpen, "\"" + path + "\": no memory for " + std::to_string(size) + " bytes");
  }
  if (!file->ReadAt(0, std::span<std::uint8_t>(buffer.get(), size), &why)) {
    return fail(LoadError::Kind::kCannotOpen, why);
  }
  return std::unique_ptr<LoadedImage>(new LoadedImage(std::move(file), std::move(buffer), size));
}

}  // namespace korrin::image
