// An image that is too large is refused from its length before any buffer
// is allocated for it. This binary replaces the global allocation functions
// to watch the largest request, so it is kept apart from the other tests.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "../support/largest_allocation.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "image/image.h"
#include "scratch_dir.h"

using korrin::testing::largestRequest;

namespace korrin::image {
namespace {

TEST(LoadAllocation, SeveralGigabyteSparseFileIsRefusedWithoutAllocatingItsLength) {
  korrin::testing::ScratchDir dir;
  const std::string path = dir.Path("huge.bin");
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, off_t{6} << 30), 0);
  ::close(fd);

  LoadError error;
  largestRequest = 0;
  auto image = LoadedImage::Load(path, &error);
  const std::size_t largest = largestRequest.load();
  EXPECT_EQ(image, nullptr);
  EXPECT_EQ(error.kind, LoadError::Kind::kNotAnImage);
  EXPECT_LT(largest, std::size_t{64} << 10) << "a buffer of " << largest << " bytes was requested";
}

TEST(LoadAllocation, TheWatchSeesTheBufferOfAnImageThatLoads) {
  // Shows that the watch above would catch a buffer of the file's length.
  korrin::testing::ScratchDir dir;
  const std::string path = dir.Write("fw.bin", korrin::testing::ImageBytes(1 << 20));
  largestRequest = 0;
  auto image = LoadedImage::Load(path);
  ASSERT_NE(image, nullptr);
  EXPECT_GE(largestRequest.load(), std::size_t{196 + (1 << 20)});
}

}  // namespace
}  // namespace korrin::image
