// Loading an image file: the file layer's refusals, the exclusive hold, and
// what a loaded image gives its readers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <ostream>
#include <string>
#include <thread>

#include "image/image.h"
#include "platform/files.h"
#include "scratch_dir.h"

namespace korrin::image {
namespace {

using korrin::platform::ReadOnlyFile;
using korrin::testing::ImageBytes;
using korrin::testing::ScratchDir;

// Runs `open` on another thread and waits a generous while for it; a call
// that blocks (as a plain open of a FIFO without a writer does) fails the
// test instead of hanging it. `unblock` frees a blocked call.
template <typename Result>
Result WithinBound(std::function<Result()> open, std::function<void()> unblock) {
  auto future = std::async(std::launch::async, std::move(open));
  if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "the open blocked";
    unblock();
  }
  return future.get();
}

enum class Make { kMissing, kDirectory, kFifo, kDevNull, kEmpty, kShort, kHeaderOnly };

struct RefusalCase {
  const char* name;
  friend void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }
  Make make;
  LoadError::Kind kind;
  const char* detailMentions;
};

std::string MakePath(const ScratchDir& dir, Make make) {
  switch (make) {
    case Make::kMissing:
      return dir.Path("new.bin");
    case Make::kDirectory: {
      const std::string p = dir.Path("folder.bin");
      ::mkdir(p.c_str(), 0700);
      return p;
    }
    case Make::kFifo: {
      const std::string p = dir.Path("pipe.bin");
      EXPECT_EQ(::mkfifo(p.c_str(), 0600), 0);
      return p;
    }
    case Make::kDevNull:
      return "/dev/null";
    case Make::kEmpty:
      return dir.Write("empty.bin", {});
    case Make::kShort:
      return dir.Write("short.bin", std::vector<std::uint8_t>(195, 0x11));
    case Make::kHeaderOnly:
      break;
  }
  return dir.Write("header.bin", ImageBytes(0));
}

class LoadRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(LoadRefusalTest, RefusedWithoutBlockingAndSaysWhy) {
  ScratchDir dir;
  const std::string path = MakePath(dir, GetParam().make);
  LoadError error;
  auto image = WithinBound<std::unique_ptr<LoadedImage>>(
      [&] { return LoadedImage::Load(path, &error); },
      [&] { ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK)); });
  EXPECT_EQ(image, nullptr);
  EXPECT_EQ(error.kind, GetParam().kind);
  EXPECT_NE(error.detail.find(path), std::string::npos) << error.detail;
  EXPECT_NE(error.detail.find(GetParam().detailMentions), std::string::npos) << error.detail;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadRefusalTest,
    ::testing::Values(RefusalCase{"missing", Make::kMissing, LoadError::Kind::kCannotOpen, "No such file"},
                      RefusalCase{"directory", Make::kDirectory, LoadError::Kind::kCannotOpen, "directory"},
                      RefusalCase{"fifo", Make::kFifo, LoadError::Kind::kCannotOpen, "FIFO"},
                      RefusalCase{"device_node", Make::kDevNull, LoadError::Kind::kCannotOpen, "device"},
                      RefusalCase{"empty", Make::kEmpty, LoadError::Kind::kNotAnImage, "0 bytes"},
                      RefusalCase{"shorter_than_header", Make::kShort, LoadError::Kind::kNotAnImage, "195 bytes"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoadImage, GivesHeaderImageInfoVersionAndBlocks) {
  ScratchDir dir;
  const auto bytes = ImageBytes(10000, 2, 5, 0x40);
  auto image = LoadedImage::Load(dir.Write("fw.bin", bytes));
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->Version(), "2.5");
  EXPECT_EQ(std::vector<std::uint8_t>(image->ImageInfo(), image->ImageInfo() + 16),
            std::vector<std::uint8_t>(bytes.begin() + 44, bytes.begin() + 60));
  EXPECT_EQ(image->PayloadLength(), 10000u);
  ASSERT_EQ(image->BlockCount(), 3u);
  for (std::uint32_t i = 0; i < 3; ++i) {
    const Block b = image->BlockAt(i);
    EXPECT_EQ(std::vector<std::uint8_t>(image->BlockData(i), image->BlockData(i) + b.length),
              std::vector<std::uint8_t>(bytes.begin() + 196 + b.offset, bytes.begin() + 196 + b.offset + b.length))
        << "block " << i;
  }
}

TEST(LoadImage, HeaderOnlyFileIsOneEmptyBlock) {
  ScratchDir dir;
  auto image = LoadedImage::Load(MakePath(dir, Make::kHeaderOnly));
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->BlockCount(), 1u);
  EXPECT_EQ(image->BlockAt(0), (Block{0, 0, 0}));
}

TEST(LoadImage, HeldImageCannotBeOpenedAgainUntilReleased) {
  ScratchDir dir;
  const std::string path = dir.Write("fw.bin", ImageBytes(5000));
  auto held = LoadedImage::Load(path);
  ASSERT_NE(held, nullptr);

  LoadError error;
  EXPECT_EQ(LoadedImage::Load(path, &error), nullptr);
  EXPECT_EQ(error.kind, LoadError::Kind::kCannotOpen);
  EXPECT_NE(error.detail.find("in use"), std::string::npos) << error.detail;
  // Another thread (the worker, the window) is kept out the same way.
  auto fromThread = std::async(std::launch::async, [&] { return LoadedImage::Load(path) != nullptr; });
  EXPECT_FALSE(fromThread.get());

  held.reset();
  EXPECT_NE(LoadedImage::Load(path), nullptr);
}

TEST(LoadImage, OversizeSparseFileIsRefusedFromItsLength) {
  ScratchDir dir;
  const std::string path = dir.Path("huge.bin");
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  // 5 GiB + 1000 bytes: the low 32 bits alone would look like a small image.
  ASSERT_EQ(::ftruncate(fd, (off_t{5} << 30) + 1000), 0);
  ::close(fd);
  LoadError error;
  EXPECT_EQ(LoadedImage::Load(path, &error), nullptr);
  EXPECT_EQ(error.kind, LoadError::Kind::kNotAnImage);
  EXPECT_NE(error.detail.find("1041 blocks"), std::string::npos) << error.detail;
}

TEST(LoadImage, LargestImageLoads) {
  ScratchDir dir;
  auto image = LoadedImage::Load(dir.Write("max.bin", ImageBytes(kMaxPayload)));
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->BlockCount(), 1041u);
  EXPECT_EQ(image->BlockAt(1040).address, 65520u);
}

// Root is not kept out by file permissions, so as root the open is tried by
// a child process that has given up root first.
TEST(ReadOnlyFileTest, UnreadableFileCannotBeOpened) {
  ScratchDir dir;
  ASSERT_EQ(::chmod(dir.Path("").c_str(), 0755), 0);  // only the file's own mode may refuse
  const std::string path = dir.Write("locked.bin", ImageBytes(10));
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  auto tryOpen = [&path] {
    std::string error;
    if (ReadOnlyFile::Open(path, &error) != nullptr) return 1;
    return error.find("Permission denied") != std::string::npos ? 0 : 2;
  };
  if (::geteuid() != 0) {
    EXPECT_EQ(tryOpen(), 0);
    return;
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) std::_Exit(3);
        std::_Exit(tryOpen());
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ReadOnlyFileTest, ReadPastWhatTheFileStillHoldsFails) {
  ScratchDir dir;
  const std::string path = dir.Write("fw.bin", ImageBytes(1000));
  auto file = ReadOnlyFile::Open(path);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Length(), 1196u);
  ASSERT_EQ(::truncate(path.c_str(), 500), 0);  // shrinks under the reader
  std::vector<std::uint8_t> into(1196);
  std::string error;
  EXPECT_FALSE(file->ReadAt(0, into, &error));
  EXPECT_NE(error.find("read 500 of 1196"), std::string::npos) << error;
}

}  // namespace
}  // namespace korrin::image
