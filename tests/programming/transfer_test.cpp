// A whole transfer through the real announcement, worker and handlers,
// against the simulated device: what the device receives, what the worker
// posts, and what the window makes of it.
#include <gtest/gtest.h>

#include <ostream>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "transfer_fixture.h"

namespace korrin::testing {
namespace {

using sim::DataFrameSeen;

constexpr int kImageInfo = 0x80;
constexpr int kFinish = 0x82;

// ------------------------------------------------------------ the frames

struct FramesCase {
  const char* name;
  friend void PrintTo(const FramesCase& c, std::ostream* out) { *out << c.name; }
  std::uint32_t payload;
  std::vector<DataFrameSeen> frames;
};

class TransferFramesTest : public TransferTest, public ::testing::WithParamInterface<FramesCase> {};

TEST_P(TransferFramesTest, DeviceReceivesEveryBlockAtItsAddressAndGivesAGoodVerdict) {
  UseImage(GetParam().payload, {1, 10});
  auto device = Attach();
  RunTransfer();

  EXPECT_EQ(announceResult_, 0);
  EXPECT_EQ(device->bootloader().DataFramesSeen(), GetParam().frames);
  EXPECT_EQ(device->bootloader().Payload(), payload_);
  EXPECT_TRUE(device->bootloader().ProtocolErrorTexts().empty());
  EXPECT_EQ(device->bootloader().Verdicts(), std::vector<bool>{true});
  // Image info, then (after the data) the end, the CRC request and the read.
  EXPECT_EQ(CommandFrames(*device), (std::vector<std::pair<int, int>>{{kImageInfo, 16}, {kFinish, 0}, {kFinish, 3}, {0x00, 4}}));
  EXPECT_EQ(Log(), (std::vector<std::string>{"Update firmware successfully", "CRC check OK",
                                             "Current Firmware Version: 1.10"}));
  EXPECT_EQ(g_pProgramThread->ExitCode(), kTransferWritten);
  EXPECT_EQ(dialog_->m_Progress.GetPos(), 0);
  EXPECT_FALSE(dialog_->m_Progress.IsWindowEnabled());
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, TransferFramesTest,
    ::testing::Values(FramesCase{"one_block_and_an_empty_one", 4032, {{0, 4032}, {63, 0}}},
                      FramesCase{"two_blocks_and_an_empty_one", 8064, {{0, 4032}, {63, 4032}, {126, 0}}},
                      FramesCase{"short_last_block", 10000, {{0, 4032}, {63, 4032}, {126, 1936}}},
                      FramesCase{"header_only_one_empty_block", 0, {{0, 0}}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------- the progress

struct SequenceCase {
  const char* name;
  friend void PrintTo(const SequenceCase& c, std::ostream* out) { *out << c.name; }
  std::uint32_t payload;
  std::vector<WPARAM> values;
};

class ProgressPostedTest : public TransferTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(ProgressPostedTest, WorkerPostsTheExactSequence) {
  UseImage(GetParam().payload);
  auto device = Attach();
  RunTransfer();
  EXPECT_EQ(ProgressValues(), GetParam().values);
  for (const Posted& p : posted_) EXPECT_EQ(p, Progress(p.wParam)) << "every block was written";
  ASSERT_FALSE(Log().empty());
  EXPECT_EQ(Log().front(), "Update firmware successfully");
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ProgressPostedTest,
    ::testing::Values(SequenceCase{"one", 100, {95, 100}},
                      SequenceCase{"two", 5000, {0, 95, 100}},
                      SequenceCase{"three", 8064, {0, 45, 50, 95, 100}},
                      SequenceCase{"eleven", 10 * 4032 + 100,
                                   {0, 5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60, 65, 70, 75, 80, 85, 90, 95, 100}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, HundredAndOneBlocksStepTheBarBackBeforeEachWrite) {
  UseImage(100 * 4032 + 7);
  auto device = Attach();
  RunTransfer();
  const auto values = ProgressValues();
  const std::vector<WPARAM> head{0, 1, 2, 3, 4, 5, 1, 6, 2, 7, 3, 8};
  const std::vector<WPARAM> tail{94, 99, 95, 100};
  ASSERT_EQ(values.size(), 101u + 95u);
  EXPECT_EQ(std::vector<WPARAM>(values.begin(), values.begin() + head.size()), head);
  EXPECT_EQ(std::vector<WPARAM>(values.end() - tail.size(), values.end()), tail);
  EXPECT_EQ(device->bootloader().DataFramesSeen().size(), 101u);
  EXPECT_EQ(device->bootloader().Verdicts(), std::vector<bool>{true});
}

TEST_F(TransferTest, LargestImageEndsAtTheLastSixteenBitAddress) {
  UseImage(4197311);  // 1041 blocks, the last 4031 bytes long
  auto device = Attach();
  RunTransfer();
  const auto frames = device->bootloader().DataFramesSeen();
  ASSERT_EQ(frames.size(), 1041u);
  EXPECT_EQ(frames.back(), (DataFrameSeen{65520, 4031}));
  EXPECT_EQ(device->bootloader().Verdicts(), std::vector<bool>{true});
  EXPECT_EQ(ProgressValues().back(), 100u);
}

// ----------------------------------------------------------- the failures

struct FailureCase {
  const char* name;
  friend void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }
  std::uint32_t payload;
  std::uint32_t failingWrite;  // 1 is the image info, 2 the first block
  std::vector<Posted> posted;
  std::size_t framesSeen;
};

class BlockFailureTest : public TransferTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(BlockFailureTest, FailedBlockEndsTheTransferAsAFailure) {
  UseImage(GetParam().payload);
  sim::DeviceConfig config;
  config.faults.failWrites = {GetParam().failingWrite};
  auto device = Attach(config);
  RunTransfer();

  EXPECT_EQ(posted_, GetParam().posted);
  EXPECT_EQ(device->bootloader().DataFramesSeen().size(), GetParam().framesSeen);
  EXPECT_EQ(g_pProgramThread->ExitCode(), kTransferFailed);
  EXPECT_EQ(Log(), std::vector<std::string>{"Update firmware failed"});
  // Neither the end command nor the CRC request goes out.
  EXPECT_EQ(CommandFrames(*device), (std::vector<std::pair<int, int>>{{kImageInfo, 16}}));
  EXPECT_EQ(dialog_->m_Progress.GetPos(), 0);
  EXPECT_FALSE(dialog_->m_Progress.IsWindowEnabled());
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, BlockFailureTest,
    ::testing::Values(FailureCase{"first_block", 8064, 2, {FailedBlock(0), TransferFailed()}, 0},
                      FailureCase{"last_block", 8064, 4,
                                  {Progress(0), Progress(45), Progress(50), Progress(95), FailedBlock(100),
                                   TransferFailed()},
                                  2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, NegativeVerdictIsReportedAfterTheSuccessLine) {
  UseImage(10000, {3, 4});
  sim::DeviceConfig config;
  config.bootloader.firmware = {1, 0};
  config.bootloader.negativeVerdict = true;
  auto device = Attach(config);
  RunTransfer();
  EXPECT_EQ(Log(), (std::vector<std::string>{"Update firmware successfully", "CRC check failed",
                                             "Current Firmware Version: 1.0"}));
}

TEST_F(TransferTest, SecondHundredOnlyMovesTheBar) {
  UseImage(5000);
  auto device = Attach();
  RunTransfer();
  const auto log = Log();
  const auto reports = device->bootloader().ReportsReceived();
  ASSERT_EQ(log.size(), 3u);

  dialog_->SendMessage(WM_UPDATE_PROGRESS, 100, kProgressWritten);
  EXPECT_EQ(Log(), log);
  EXPECT_EQ(device->bootloader().ReportsReceived(), reports) << "nothing more goes to the device";
  EXPECT_EQ(dialog_->m_Progress.GetPos(), 100);
  // Later messages of any value still move the (disabled) bar.
  dialog_->SendMessage(WM_UPDATE_PROGRESS, 37, kProgressWritten);
  EXPECT_EQ(dialog_->m_Progress.GetPos(), 37);
}

TEST_F(TransferTest, HandlerCompletesOnlyAtHundredWrittenBlocks) {
  auto device = Attach();
  struct Step {
    WPARAM value;
    LPARAM kind;
    std::size_t logLines;
  };
  // 99 moves the bar; a failed block's 100 moves it too but completes nothing.
  for (const Step& step : {Step{99, kProgressWritten, 0}, Step{100, kProgressFailedBlock, 0}}) {
    dialog_->SendMessage(WM_UPDATE_PROGRESS, step.value, step.kind);
    EXPECT_EQ(dialog_->m_Progress.GetPos(), static_cast<int>(step.value));
    EXPECT_EQ(Log().size(), step.logLines);
  }
  EXPECT_EQ(device->bootloader().ReportsReceived(), 0u);
  EXPECT_FALSE(g_bUpdateDone);
}

TEST_F(TransferTest, FailureIsReportedOncePerTransfer) {
  Attach();
  dialog_->SendMessage(WM_TRANSFER_FAILED, 0, 0);
  dialog_->SendMessage(WM_TRANSFER_FAILED, 0, 0);
  dialog_->SendMessage(WM_UPDATE_PROGRESS, 100, kProgressWritten);  // too late to count as a success
  EXPECT_EQ(Log(), std::vector<std::string>{"Update firmware failed"});
}

TEST_F(TransferTest, EarlierWorkersQueuedFailureDoesNotEndTheNextTransfer) {
  UseImage(10 * 4032);
  auto first = Attach();
  backend_->gate().Close();
  (void)dialog_->AnnounceImage();
  ASSERT_TRUE(StartTransfer(*dialog_));
  ASSERT_TRUE(backend_->gate().WaitUntilHeld());
  // The device goes while a block is under way; the worker fails by itself
  // and ends, and its failure is still queued when the next device comes.
  ASSERT_TRUE(bus_->Unplug(first));
  backend_->gate().Open();
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!g_pProgramThread->Finished() && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
  ASSERT_TRUE(g_pProgramThread->Finished());
  ASSERT_EQ(g_pProgramThread->ExitCode(), kTransferFailed);

  auto second = Attach();
  RunTransfer();
  EXPECT_EQ(second->bootloader().Verdicts(), std::vector<bool>{true});
  EXPECT_EQ(Log(), (std::vector<std::string>{"Update firmware successfully", "CRC check OK",
                                             "Current Firmware Version: 1.10"}));
  ASSERT_FALSE(posted_.empty());
  EXPECT_EQ(posted_.front(), FailedBlock(0)) << "the earlier worker did post its failure";
}

TEST_F(TransferTest, WorkerStoppedDuringABlockPostsNothingMore) {
  UseImage(10 * 4032);
  Attach();
  backend_->gate().Close();
  (void)dialog_->AnnounceImage();
  ASSERT_TRUE(StartTransfer(*dialog_));
  ASSERT_TRUE(backend_->gate().WaitUntilHeld());
  dialog_->StopTransfer();  // the gate lets a worker go when it is asked to stop
  ASSERT_TRUE(Drain());
  EXPECT_TRUE(posted_.empty());
  EXPECT_TRUE(Log().empty());
}

// ------------------------------------------------------- images that fail

struct BadImageCase {
  const char* name;
  friend void PrintTo(const BadImageCase& c, std::ostream* out) { *out << c.name; }
  std::vector<std::uint8_t> bytes;  // empty with `missing`
  bool missing;
};

class BadImageTest : public TransferTest, public ::testing::WithParamInterface<BadImageCase> {};

TEST_P(BadImageTest, NothingIsSentAndTheTransferFails) {
  const std::string path = GetParam().missing ? dir_.Path("gone.bin") : dir_.Write("bad.bin", GetParam().bytes);
  UsePath(path);
  auto device = Attach();
  RunTransfer();
  EXPECT_EQ(announceResult_, -1);
  EXPECT_EQ(device->bootloader().ReportsReceived(), 0u);
  EXPECT_EQ(posted_, std::vector<Posted>{TransferFailed()});
  EXPECT_EQ(g_pProgramThread->ExitCode(), kTransferFailed);
  EXPECT_EQ(Log(), std::vector<std::string>{"Update firmware failed"});
}

INSTANTIATE_TEST_SUITE_P(Images, BadImageTest,
                         ::testing::Values(BadImageCase{"missing", {}, true},
                                           BadImageCase{"shorter_than_header", std::vector<std::uint8_t>(100, 1), false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, OversizeImageIsRefusedBeforeAnyBlockGoesOut) {
  // One byte more payload than 1041 blocks can address.
  UseImage(1041 * 4032);
  auto device = Attach();
  RunTransfer();
  EXPECT_EQ(announceResult_, -1);
  EXPECT_EQ(device->bootloader().ReportsReceived(), 0u);
  EXPECT_EQ(posted_, std::vector<Posted>{TransferFailed()});
}

TEST_F(TransferTest, WorkerReadsTheTransferPathNotTheTypedOne) {
  // The announcement opens the window's path, the worker g_Comm's.
  const std::string announced = UseImage(5000, {1, 10}, "announced.bin");
  const std::string streamed = UseImage(9000, {2, 0}, "streamed.bin");
  dialog_->m_strImagePath = announced;
  auto device = Attach();
  RunTransfer();
  EXPECT_EQ(announceResult_, 0);
  EXPECT_EQ(device->bootloader().Payload(), payload_) << "the payload of " << streamed;
}

// ------------------------------------------------------- the announcement

struct RetryCase {
  const char* name;
  friend void PrintTo(const RetryCase& c, std::ostream* out) { *out << c.name; }
  std::uint32_t failedAnnouncements;
  std::uint32_t announcements;
  int rescans;
};

class AnnounceRetryTest : public TransferTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(AnnounceRetryTest, RetryIsBoundedAndNeverAttachesAgain) {
  UseImage(5000);
  sim::DeviceConfig config;
  for (std::uint32_t n = 1; n <= GetParam().failedAnnouncements; ++n) config.faults.failWrites.insert(n);
  auto device = Attach(config);
  const std::size_t handlesBefore = hid::System().OpenHandleCount();
  const int scansBefore = backend_->enumerations();

  EXPECT_EQ(dialog_->AnnounceImage(), 0);

  EXPECT_EQ(device->writes(), GetParam().announcements);
  EXPECT_EQ(backend_->enumerations() - scansBefore, GetParam().rescans);
  EXPECT_EQ(hid::System().OpenHandleCount(), handlesBefore) << "the rescan opened the device again";
  EXPECT_EQ(g_pProgramThread, nullptr) << "the rescan started a transfer";
  EXPECT_TRUE(Log().empty());
}

INSTANTIATE_TEST_SUITE_P(Faults, AnnounceRetryTest,
                         ::testing::Values(RetryCase{"first_try", 0, 1, 0}, RetryCase{"second_try", 1, 2, 1},
                                           RetryCase{"last_try", 3, 4, 3}, RetryCase{"used_up", 4, 4, 3},
                                           RetryCase{"device_never_takes_it", 100, 4, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------- closing while sending

TEST_F(TransferTest, ClosingTheWindowStopsTheWorkerAtItsNextBlock) {
  UseImage(10 * 4032);  // eleven blocks
  auto device = Attach();
  backend_->gate().Close();
  (void)dialog_->AnnounceImage();
  ASSERT_TRUE(StartTransfer(*dialog_));
  ASSERT_TRUE(backend_->gate().WaitUntilHeld());  // the worker is inside its first block

  dialog_->DestroyWindow();
  dialog_.reset();  // asks the worker to stop and joins it

  EXPECT_EQ(g_pProgramThread, nullptr);
  EXPECT_EQ(device->bootloader().DataFramesSeen().size(), 1u) << "only the block under way went out";
  EXPECT_TRUE(CommandFrames(*device) == (std::vector<std::pair<int, int>>{{kImageInfo, 16}}));
}

TEST_F(TransferTest, BrowsingTheImageBeingSentCannotOpenIt) {
  const std::string path = UseImage(10 * 4032, {4, 2});
  dialog_->m_strImageVersion = "1.0";
  (void)dialog_->UpdateData(FALSE);
  std::vector<std::string> messages;
  window::SetMessageBoxHook([&](const MessageBoxRequest& request) {
    messages.push_back(request.text);
    return IDOK;
  });
  window::SetFileDialogHook([&](const FileDialogRequest&) { return FileDialogAnswer{IDOK, path}; });
  auto device = Attach();
  backend_->gate().Close();
  (void)dialog_->AnnounceImage();
  ASSERT_TRUE(StartTransfer(*dialog_));
  ASSERT_TRUE(backend_->gate().WaitUntilHeld());

  dialog_->OnBrowse();
  EXPECT_EQ(messages, std::vector<std::string>{"Cannot open the file"});
  EXPECT_EQ(dialog_->m_strImageVersion, "1.0");

  backend_->gate().Open();
  ASSERT_TRUE(FinishTransfer());
  EXPECT_EQ(device->bootloader().Verdicts(), std::vector<bool>{true});
  // Once the worker has ended the image is free again.
  dialog_->OnBrowse();
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_EQ(dialog_->m_strImageVersion, "4.2");
  window::SetMessageBoxHook(nullptr);
  window::SetFileDialogHook(nullptr);
}

TEST_F(TransferTest, StartingAgainEndsTheEarlierWorkerFirst) {
  UseImage(10 * 4032);
  auto first = Attach();
  backend_->gate().Close();
  (void)dialog_->AnnounceImage();
  ASSERT_TRUE(StartTransfer(*dialog_));
  ASSERT_TRUE(backend_->gate().WaitUntilHeld());
  // A second start stops and joins the first worker before it starts anew.
  ASSERT_TRUE(StartTransfer(*dialog_));
  backend_->gate().Open();
  ASSERT_TRUE(FinishTransfer());
  EXPECT_EQ(g_pProgramThread->ExitCode(), kTransferWritten);
  // The first worker sent the block it was in and no more; the second sent all.
  EXPECT_EQ(first->bootloader().DataFramesSeen().size(), 1u + 11u);
}

}  // namespace
}  // namespace korrin::testing
