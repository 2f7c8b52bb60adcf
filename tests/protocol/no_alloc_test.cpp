// The data path must not allocate: a transfer writes hundreds of blocks from
// the worker thread. This binary counts every operator new while a block is
// built and written.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <new>

#include "fake_device.h"
#include "protocol/protocol.h"

namespace {
std::atomic<long> g_allocations{0};
thread_local bool t_counting = false;
}  // namespace

// GCC sees malloc behind operator new once both are inlined here and then
// takes free in operator delete for a mismatch; the pair is consistent.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  if (t_counting) g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace korrin::protocol {
namespace {

class Counting {
 public:
  Counting() {
    g_allocations = 0;
    t_counting = true;
  }
  ~Counting() { t_counting = false; }
  long Count() const { return g_allocations.load(); }
};

TEST(DataPath, BuildingAFrameAllocatesNothing) {
  std::array<std::uint8_t, kReportSize> report{};
  std::array<std::uint8_t, 4032> block{};
  Counting counting;
  ASSERT_TRUE(BuildDataFrame(report, kCmdDataBlock, 4032, 63, block.data()));
  EXPECT_EQ(counting.Count(), 0);
}

TEST(DataPath, WriteBlockAllocatesNothing) {
  auto trace = std::make_shared<korrin::testing::Trace>();
  auto iface = std::make_shared<korrin::testing::FakeInterface>(trace);
  iface->record = false;
  hid::InstallSystem(std::make_shared<korrin::testing::FakeBackend>(iface));
  auto comm = std::make_unique<HID_COMM>();
  comm->m_hDevice = hid::System().Open(korrin::testing::FakeBackend::kPath);
  ASSERT_NE(comm->m_hDevice.load(), hid::kInvalidHandle);
  std::array<std::uint8_t, 4032> block{};
  {
    Counting counting;
    for (std::uint32_t k = 0; k < 8; ++k) ASSERT_TRUE(comm->WriteBlock(kCmdDataBlock, 4032, 63 * k, block.data()));
    EXPECT_EQ(counting.Count(), 0);
  }
  hid::InstallSystem(hid::MakeNullBackend());
}

}  // namespace
}  // namespace korrin::protocol
