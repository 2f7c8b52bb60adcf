// An image that is too large is refused from its length before any buffer
// is allocated for it. This binary replaces the global allocation functions
// to watch the largest request, so it is kept apart from the other tests.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "image/image.h"
#include "scratch_dir.h"

namespace {
std::atomic<std::size_t> largestRequest{0};

void* Allocate(std::size_t size) {
  std::size_t seen = largestRequest.load();
  while (size > seen && !largestRequest.compare_exchange_weak(seen, size)) {
  }
  return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

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
