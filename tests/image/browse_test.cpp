// The Browse button through the real handler on the headless window layer,
// with the file dialog and the message boxes answered by hooks.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <deque>
#include <ostream>
#include <string>
#include <vector>

#include "image/image.h"
#include "platform/window/window.h"
#include "protocol/protocol.h"
#include "scratch_dir.h"
#include "ui/Korrin_HIDDlg.h"

namespace korrin::testing {
namespace {

constexpr const char* kNotFirmware = "This is not a firmware file, please select right file";
constexpr const char* kCannotOpen = "Cannot open the file";
constexpr const char* kNotAnImage = "This file is not a firmware image for this device";

class BrowseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window::SetView(nullptr);
    window::SetFileDialogHook([this](const FileDialogRequest& request) {
      requests_.push_back(request);
      if (answers_.empty()) return FileDialogAnswer{IDCANCEL, ""};
      FileDialogAnswer answer = answers_.front();
      answers_.pop_front();
      return answer;
    });
    window::SetMessageBoxHook([this](const MessageBoxRequest& request) {
      messages_.push_back(request.text);
      return IDOK;
    });
    dialog_ = std::make_unique<CKorrin_HIDDlg>();
    ASSERT_TRUE(dialog_->Create());
    dialog_->KillTimer(ID_SCAN_TIMER);
  }
  void TearDown() override {
    dialog_->DestroyWindow();
    dialog_.reset();
    window::SetFileDialogHook(nullptr);
    window::SetMessageBoxHook(nullptr);
  }

  void Choose(const std::string& path) { answers_.push_back({IDOK, path}); }
  std::string PathBox() { return dialog_->GetDlgItem(IDC_FILE_PATH)->GetWindowText(); }
  std::string VersionBox() { return dialog_->GetDlgItem(IDC_FW_VERSION)->GetWindowText(); }

  // Browse left the path, the version and both boxes as they were at start.
  void ExpectUnchanged() {
    EXPECT_EQ(dialog_->m_strImagePath, kDefaultImageName);
    EXPECT_EQ(dialog_->m_strImageVersion, "1.0");
    EXPECT_EQ(PathBox(), kDefaultImageName);
    EXPECT_EQ(VersionBox(), "1.0");
    EXPECT_EQ(g_Comm.m_strFilePath, kDefaultImageName);
  }

  ScratchDir dir_;
  std::unique_ptr<CKorrin_HIDDlg> dialog_;
  std::deque<FileDialogAnswer> answers_;
  std::vector<FileDialogRequest> requests_;
  std::vector<std::string> messages_;
};

struct NameCase {
  const char* name;
  friend void PrintTo(const NameCase& c, std::ostream* out) { *out << c.name; }
  const char* fileName;
  bool accepted;
};

class BrowseNameRuleTest : public BrowseTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(BrowseNameRuleTest, OnlyTheExtensionBinInLowerCasePasses) {
  const std::string path = dir_.Write(GetParam().fileName, ImageBytes(5000, 2, 5));
  Choose(path);  // the renewed prompt, if any, is cancelled
  dialog_->SendMessage(WM_COMMAND, MakeCommandParam(IDC_BROWSE, BN_CLICKED), 0);

  if (GetParam().accepted) {
    EXPECT_TRUE(messages_.empty());
    EXPECT_EQ(requests_.size(), 1u);
    EXPECT_EQ(dialog_->m_strImagePath, path);
    EXPECT_EQ(dialog_->m_strImageVersion, "2.5");
    EXPECT_EQ(PathBox(), path);
    EXPECT_EQ(VersionBox(), "2.5");
    EXPECT_EQ(g_Comm.m_strFilePath, path);
  } else {
    EXPECT_EQ(messages_, std::vector<std::string>{kNotFirmware});
    EXPECT_EQ(requests_.size(), 2u) << "a refused name prompts again";
    ExpectUnchanged();
  }
}

INSTANTIATE_TEST_SUITE_P(Names, BrowseNameRuleTest,
                         ::testing::Values(NameCase{"bin", "firmware.bin", true},
                                           NameCase{"several_points", "fw.rev2.bin", true},
                                           NameCase{"upper_case", "firmware.BIN", false},
                                           NameCase{"mixed_case", "firmware.Bin", false},
                                           NameCase{"longer_extension", "firmware.bin2", false},
                                           NameCase{"bin_not_last", "firmware.bin.bak", false},
                                           NameCase{"no_point", "firmware", false},
                                           NameCase{"empty_extension", "firmware.", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BrowseTest, RenewedPromptAcceptsTheNextGoodChoice) {
  const std::string refused = dir_.Write("a.BIN", ImageBytes(10, 9, 9));
  const std::string good = dir_.Write("b.bin", ImageBytes(10, 3, 1));
  Choose(refused);
  Choose(refused);
  Choose(good);
  dialog_->OnBrowse();
  EXPECT_EQ(messages_, (std::vector<std::string>{kNotFirmware, kNotFirmware}));
  EXPECT_EQ(requests_.size(), 3u);
  EXPECT_EQ(dialog_->m_strImagePath, good);
  EXPECT_EQ(VersionBox(), "3.1");
  EXPECT_EQ(g_Comm.m_strFilePath, good);
}

TEST_F(BrowseTest, AsksForAnyFileWithTheReadOnlyBoxHidden) {
  dialog_->OnBrowse();
  ASSERT_EQ(requests_.size(), 1u);
  EXPECT_TRUE(requests_[0].open);
  EXPECT_EQ(requests_[0].defaultExtension, "*.*");
  EXPECT_EQ(requests_[0].initialFileName, "");
  EXPECT_EQ(requests_[0].flags, CFileDialog::OFN_HIDEREADONLY);
  EXPECT_EQ(requests_[0].filter, "All Files: (*.*)|*.*||");
}

TEST_F(BrowseTest, CancelCopiesTheTakenTypedPathNotTheBox) {
  const std::string typed = dir_.Path("typed.bin");
  dialog_->GetDlgItem(IDC_FILE_PATH)->SetWindowText(typed);
  dialog_->UpdateData(TRUE);  // the window takes the typed path
  dialog_->GetDlgItem(IDC_FILE_PATH)->SetWindowText(dir_.Path("not-taken.bin"));
  dialog_->OnBrowse();  // cancelled
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(dialog_->m_strImagePath, typed);
  EXPECT_EQ(g_Comm.m_strFilePath, typed);
}

struct RefusedFileCase {
  const char* name;
  friend void PrintTo(const RefusedFileCase& c, std::ostream* out) { *out << c.name; }
  enum class Make { kMissing, kDirectory, kShort, kOversize } make;
  const char* message;
};

class BrowseRefusedFileTest : public BrowseTest, public ::testing::WithParamInterface<RefusedFileCase> {};

TEST_P(BrowseRefusedFileTest, ToldWhyAndNothingChanges) {
  std::string path;
  switch (GetParam().make) {
    case RefusedFileCase::Make::kMissing:
      path = dir_.Path("new.bin");
      break;
    case RefusedFileCase::Make::kDirectory:
      path = dir_.Path("folder.bin");
      ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
      break;
    case RefusedFileCase::Make::kShort:
      path = dir_.Write("short.bin", std::vector<std::uint8_t>(195, 0x02));
      break;
    case RefusedFileCase::Make::kOversize:
      path = dir_.Write("big.bin", {});
      ASSERT_EQ(::truncate(path.c_str(), 196 + 4197312), 0);
      break;
  }
  Choose(path);
  dialog_->OnBrowse();
  EXPECT_EQ(messages_, std::vector<std::string>{GetParam().message});
  EXPECT_EQ(requests_.size(), 1u) << "no renewed prompt after a file that does not open";
  ExpectUnchanged();
}

INSTANTIATE_TEST_SUITE_P(
    Files, BrowseRefusedFileTest,
    ::testing::Values(RefusedFileCase{"missing", RefusedFileCase::Make::kMissing, kCannotOpen},
                      RefusedFileCase{"directory", RefusedFileCase::Make::kDirectory, kCannotOpen},
                      RefusedFileCase{"shorter_than_header", RefusedFileCase::Make::kShort, kNotAnImage},
                      RefusedFileCase{"beyond_1041_blocks", RefusedFileCase::Make::kOversize, kNotAnImage}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BrowseTest, ImageHeldByAnotherReaderCannotBeOpened) {
  const std::string path = dir_.Write("held.bin", ImageBytes(100, 2, 5));
  auto held = image::LoadedImage::Load(path);
  ASSERT_NE(held, nullptr);
  Choose(path);
  dialog_->OnBrowse();
  EXPECT_EQ(messages_, std::vector<std::string>{kCannotOpen});
  ExpectUnchanged();
}

}  // namespace
}  // namespace korrin::testing
