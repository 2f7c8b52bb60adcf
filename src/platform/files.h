// Files: the one way the program opens and reads a file from disk.
//
// A file is opened for reading only and held exclusively: while one of our
// readers holds it, another open of the same file by this program (from
// any thread, or from another instance of the program) fails. The hold is
// an advisory lock, so programs that do not ask for it are not kept out.
// Only regular files are opened; a directory, FIFO, socket or device node is
// refused without blocking and without reading anything from it.
//
// Error convention: Open returns null and ReadAt returns false on failure;
// when an `error` text is given it is set to a reason that names the path
// and the cause. Nothing here throws, and the destructor only closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace korrin::platform {

class ReadOnlyFile {
 public:
  // Opens `path` (symbolic links are followed) and takes the exclusive hold.
  [[nodiscard]] static std::unique_ptr<ReadOnlyFile> Open(const std::string& path, std::string* error = nullptr);

  ~ReadOnlyFile();  // releases the hold and closes
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  // The length in bytes as the file system reported it when the file was
  // opened (the full 64-bit length, never truncated).
  std::uint64_t Length() const { return length_; }

  // Reads exactly into.size() bytes starting at `offset`. False when fewer
  // bytes could be read (the file shrank, or an I/O error).
  [[nodiscard]] bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> into, std::string* error = nullptr);

  const std::string& path() const { return path_; }

 private:
  ReadOnlyFile(int fd, std::uint64_t length, std::string path);
  int fd_;
  std::uint64_t length_;
  std::string path_;
};

}  // namespace korrin::platform
