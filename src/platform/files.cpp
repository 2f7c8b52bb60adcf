#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korrin::platform {
namespace {

void SetError(std::string* error, const std::string& path, const std::string& what) {
  if (error != nullptr) *error = "\"" + path + "\": " + what;
}

std::string Errno(int code) { return std::strerror(code); }

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "not a regular file";
}

}  // namespace

ReadOnlyFile::ReadOnlyFile(int fd, std::uint64_t length, std::string path)
    : fd_(fd), length_(length), path_(std::move(path)) {}

ReadOnlyFile::~ReadOnlyFile() {
  // Closing the descriptor also drops the lock, which belongs to it.
  ::close(fd_);
}

std::unique_ptr<ReadOnlyFile> ReadOnlyFile::Open(const std::string& path, std::string* error) {
  if (path.empty()) {
    SetError(error, path, "no file name");
    return nullptr;
  }
  // Look before opening: opening a device node can have effects of its own
  // (a serial line, a tape), so such a path is never opened at all.
  struct stat before {};
  if (::stat(path.c_str(), &before) != 0) {
    SetError(error, path, Errno(errno));
    return nullptr;
  }
  if (!S_ISREG(before.st_mode)) {
    SetError(error, path, KindOf(before.st_mode));
    return nullptr;
  }
  // O_NONBLOCK: should the path have been swapped for a FIFO since the look
  // above, the open returns at once instead of waiting for a writer.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    SetError(error, path, Errno(errno));
    return nullptr;
  }
  struct stat opened {};
  if (::fstat(fd, &opened) != 0) {
    SetError(error, path, Errno(errno));
    ::close(fd);
    return nullptr;
  }
  if (!S_ISREG(opened.st_mode)) {
    SetError(error, path, KindOf(opened.st_mode));
    ::close(fd);
    return nullptr;
  }
  // Each open has its own lock owner (the open file description), so this
  // also keeps out a second open made by this very process.
  int locked;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    int code = errno;
    SetError(error, path, code == EWOULDBLOCK ? "in use by another reader" : Errno(code));
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<ReadOnlyFile>(
      new ReadOnlyFile(fd, static_cast<std::uint64_t>(opened.st_size), path));
}

bool ReadOnlyFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> into, std::string* error) {
  std::size_t done = 0;
  while (done < into.size()) {
    ssize_t n = ::pread(fd_, into.data() + done, into.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      SetError(error, path_, "read failed: " + Errno(errno));
      return false;
    }
    if (n == 0) {
      SetError(error, path_,
               "read " + std::to_string(done) + " of " + std::to_string(into.size()) + " bytes (the file shrank)");
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace korrin::platform
