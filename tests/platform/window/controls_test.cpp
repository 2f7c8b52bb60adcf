// The control models and data exchange, with the window system's semantics
// that the program's handlers rely on.
#include <gtest/gtest.h>

#include "window_test_support.h"

namespace korrin::window::testing {
namespace {

// Table rows print as their names in failure messages.
template <class Case>
  requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class ControlsTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    ASSERT_TRUE(dialog.Create());
    list = static_cast<ListBoxModel*>(dialog.window()->Control(kList));
    combo = static_cast<ComboBoxModel*>(dialog.window()->Control(kCombo));
  }
  void TearDown() override {
    dialog.DestroyWindow();
    WindowTest::TearDown();
  }
  std::vector<std::string> ListRows() const { return list->rows(); }

  TestDialog dialog;
  ListBoxModel* list = nullptr;
  ComboBoxModel* combo = nullptr;
};

// --- list box ---------------------------------------------------------------

TEST_F(ControlsTest, InsertAtTheEndKeepsWritingOrderDespiteSortStyle) {
  int expectedIndex = 0;
  for (const char* line : {"Zulu", "alpha", "Mike", "0 first", "alpha"}) {
    EXPECT_EQ(dialog.list.InsertString(-1, line), expectedIndex++);
  }
  EXPECT_EQ(ListRows(), (std::vector<std::string>{"Zulu", "alpha", "Mike", "0 first", "alpha"}));
}

TEST_F(ControlsTest, AddStringSortsWithoutRegardToCase) {
  for (const char* line : {"mike", "Bravo", "alpha", "Charlie", "bravo"}) dialog.list.AddString(line);
  // Equal rows keep the order in which they came.
  EXPECT_EQ(ListRows(), (std::vector<std::string>{"alpha", "Bravo", "bravo", "Charlie", "mike"}));
}

TEST_F(ControlsTest, SelectingScrollsIntoViewAndMinusOneDeselects) {
  const int visible = list->visibleRows();
  ASSERT_GT(visible, 1);
  for (int i = 0; i < 3 * visible; ++i) dialog.list.InsertString(-1, "line " + std::to_string(i));
  const int last = dialog.list.GetCount() - 1;

  EXPECT_EQ(dialog.list.SetCurSel(last), last);
  EXPECT_EQ(dialog.list.GetTopIndex(), last - visible + 1);  // the last line at the bottom
  EXPECT_EQ(dialog.list.SetCurSel(0), 0);
  EXPECT_EQ(dialog.list.GetTopIndex(), 0);
  EXPECT_EQ(dialog.list.SetCurSel(visible), visible);
  EXPECT_EQ(dialog.list.GetTopIndex(), 1);

  // -1 removes the selection and, as the window system does, answers LB_ERR;
  // the view stays where it is.
  EXPECT_EQ(dialog.list.SetCurSel(-1), CListBox::LB_ERR);
  EXPECT_EQ(dialog.list.GetCurSel(), -1);
  EXPECT_EQ(dialog.list.GetTopIndex(), 1);
}

TEST_F(ControlsTest, OutOfRangeSelectionChangesNothing) {
  for (int i = 0; i < 3; ++i) dialog.list.InsertString(-1, "x");
  dialog.list.SetCurSel(1);
  for (int index : {3, 99, -2}) {
    EXPECT_EQ(dialog.list.SetCurSel(index), CListBox::LB_ERR) << index;
    EXPECT_EQ(dialog.list.GetCurSel(), 1) << index;
  }
}

struct FailedInsert {
  const char* name;
  int index;
  int maxCount;
  int expected;
};

class FailedInsertTest : public ControlsTest, public ::testing::WithParamInterface<FailedInsert> {};

TEST_P(FailedInsertTest, ChangesNothing) {
  const int visible = list->visibleRows();
  for (int i = 0; i < visible + 5; ++i) dialog.list.InsertString(-1, "row " + std::to_string(i));
  dialog.list.SetCurSel(2);
  list->SetMaxCount(GetParam().maxCount);
  const auto rows = ListRows();
  const auto revision = list->revision();

  EXPECT_EQ(dialog.list.InsertString(GetParam().index, "new"), GetParam().expected);
  EXPECT_EQ(ListRows(), rows);
  EXPECT_EQ(dialog.list.GetCurSel(), 2);
  EXPECT_EQ(dialog.list.GetTopIndex(), 0);
  EXPECT_EQ(list->revision(), revision);
}

INSTANTIATE_TEST_SUITE_P(Cases, FailedInsertTest,
                         ::testing::Values(FailedInsert{"IndexBeyondEnd", 1000, 1 << 30, ListBoxModel::LB_ERR},
                                           FailedInsert{"IndexBelowMinusOne", -5, 1 << 30, ListBoxModel::LB_ERR},
                                           FailedInsert{"ListFull", -1, 0, ListBoxModel::LB_ERRSPACE}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ControlsTest, InsertingAboveTheSelectionKeepsTheSameRowSelected) {
  for (const char* line : {"a", "b", "c"}) dialog.list.InsertString(-1, line);
  dialog.list.SetCurSel(1);
  dialog.list.InsertString(0, "first");
  EXPECT_EQ(dialog.list.GetText(dialog.list.GetCurSel()), "b");
}

// --- combo box ----------------------------------------------------------------

TEST_F(ControlsTest, ComboAddSortsAndSelectionFollowsItsRow) {
  EXPECT_EQ(dialog.combo.AddString("VendorID:0x16D0; ProductID:0x00AB; Version: 0x0001"), 0);
  EXPECT_EQ(dialog.combo.SetCurSel(0), 0);
  EXPECT_EQ(dialog.combo.AddString("Alpha"), 0);
  EXPECT_EQ(dialog.combo.AddString("zeta"), 2);
  EXPECT_EQ(dialog.combo.AddString("beta"), 1);
  EXPECT_EQ(dialog.combo.GetCurSel(), 2);
  EXPECT_EQ(dialog.combo.GetLBText(2), "VendorID:0x16D0; ProductID:0x00AB; Version: 0x0001");
}

TEST_F(ControlsTest, ComboSetCurSelIsByRowIndexAndShowsTheRow) {
  for (const char* row : {"b", "a", "c"}) dialog.combo.AddString(row);
  EXPECT_EQ(dialog.combo.SetCurSel(1), 1);
  EXPECT_EQ(dialog.combo.GetWindowText(), "b");
  for (int index : {-1, 3, 50}) {
    dialog.combo.SetCurSel(1);
    EXPECT_EQ(dialog.combo.SetCurSel(index), CComboBox::CB_ERR) << index;
    EXPECT_EQ(dialog.combo.GetCurSel(), -1) << index;
    EXPECT_EQ(dialog.combo.GetWindowText(), "") << index;
  }
  EXPECT_EQ(dialog.combo.GetCount(), 3);
}

TEST_F(ControlsTest, ComboResetContentEmptiesRowsAndEditText) {
  dialog.combo.AddString("row");
  dialog.combo.SetCurSel(0);
  dialog.combo.ResetContent();
  EXPECT_EQ(dialog.combo.GetCount(), 0);
  EXPECT_EQ(dialog.combo.GetCurSel(), -1);
  EXPECT_EQ(dialog.combo.GetWindowText(), "");
}

struct ClearCase {
  const char* name;
  int selStart, selEnd;
  const char* expected;
};

class ComboClearTest : public ControlsTest, public ::testing::WithParamInterface<ClearCase> {};

TEST_P(ComboClearTest, DeletesOnlyTheSelectedEditText) {
  dialog.combo.AddString("row one");
  dialog.combo.AddString("row two");
  dialog.combo.SetWindowText("abcdef");
  dialog.combo.SetEditSel(GetParam().selStart, GetParam().selEnd);
  dialog.combo.Clear();
  EXPECT_EQ(dialog.combo.GetWindowText(), GetParam().expected);
  EXPECT_EQ(dialog.combo.GetCount(), 2);
}

INSTANTIATE_TEST_SUITE_P(Cases, ComboClearTest,
                         ::testing::Values(ClearCase{"Middle", 1, 3, "adef"}, ClearCase{"NoSelection", 2, 2, "abcdef"},
                                           ClearCase{"All", 0, -1, ""}, ClearCase{"Reversed", 4, 2, "abef"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ControlsTest, SelectingARowSelectsTheEditTextOnlyWhenTheComboHasTheFocus) {
  dialog.combo.AddString("device");
  ASSERT_NE(dialog.FocusedControlId(), kCombo);
  dialog.combo.SetCurSel(0);
  dialog.combo.Clear();
  EXPECT_EQ(dialog.combo.GetWindowText(), "device");

  dialog.window()->OperatorFocus(kCombo);
  dialog.combo.SetCurSel(0);
  dialog.combo.Clear();
  EXPECT_EQ(dialog.combo.GetWindowText(), "");
  EXPECT_EQ(dialog.combo.GetCurSel(), 0);  // the row stays selected
}

TEST_F(ControlsTest, SelectStringFindsAPrefixIgnoringCaseAndWraps) {
  for (const char* row : {"apple", "Banana", "banjo", "cherry"}) dialog.combo.AddString(row);
  EXPECT_EQ(dialog.combo.SelectString(-1, "BAN"), 1);
  EXPECT_EQ(dialog.combo.SelectString(1, "ban"), 2);
  EXPECT_EQ(dialog.combo.SelectString(2, "ban"), 1);  // wraps to the top
  EXPECT_EQ(dialog.combo.SelectString(-1, "kiwi"), CComboBox::CB_ERR);
  EXPECT_EQ(dialog.combo.GetCurSel(), 1);  // a failed search changes nothing
  EXPECT_EQ(dialog.combo.GetWindowText(), "Banana");
}

// --- progress bar and enabling -----------------------------------------------

TEST_F(ControlsTest, ProgressClampsToItsRangeAndReturnsThePreviousPosition) {
  struct Step {
    int pos, previous, shown;
  };
  for (const Step& s : {Step{57, 0, 57}, Step{250, 57, 100}, Step{-5, 100, 0}, Step{100, 0, 100}, Step{0, 100, 0}}) {
    EXPECT_EQ(dialog.progress.SetPos(s.pos), s.previous) << s.pos;
    EXPECT_EQ(dialog.progress.GetPos(), s.shown) << s.pos;
  }
}

TEST_F(ControlsTest, EnableWindowReportsWhetherTheControlWasDisabled) {
  EXPECT_EQ(dialog.progress.EnableWindow(FALSE), FALSE);
  EXPECT_EQ(dialog.progress.IsWindowEnabled(), FALSE);
  EXPECT_EQ(dialog.progress.EnableWindow(FALSE), TRUE);
  EXPECT_EQ(dialog.progress.EnableWindow(TRUE), TRUE);
  EXPECT_EQ(dialog.progress.IsWindowEnabled(), TRUE);
}

TEST_F(ControlsTest, ControlMessagesReachTheModels) {
  dialog.combo.SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("row"));
  EXPECT_EQ(dialog.combo.SendMessage(CB_SETCURSEL, 0), 0);
  EXPECT_EQ(dialog.combo.GetWindowText(), "row");
  EXPECT_EQ(dialog.list.SendMessage(LB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>("line")), 0);
  EXPECT_EQ(dialog.list.SendMessage(LB_SETCURSEL, static_cast<WPARAM>(-1)), CListBox::LB_ERR);
  EXPECT_EQ(dialog.progress.SendMessage(PBM_SETPOS, 40), 0);
  EXPECT_EQ(dialog.progress.GetPos(), 40);
  dialog.combo.SendMessage(CB_RESETCONTENT);
  EXPECT_EQ(dialog.combo.GetCount(), 0);
}

// --- data exchange -----------------------------------------------------------

TEST_F(ControlsTest, TextExchangeGoesBothWays) {
  dialog.editText = "typed by the program";
  ASSERT_TRUE(dialog.UpdateData(FALSE));
  EXPECT_EQ(dialog.window()->Control(kEdit)->text(), "typed by the program");
  dialog.window()->OperatorEditText(kEdit, "typed by the operator", {21, 21});
  ASSERT_TRUE(dialog.UpdateData(TRUE));
  EXPECT_EQ(dialog.editText, "typed by the operator");
}

struct ComboExchange {
  const char* name;
  std::vector<std::string> rows;
  std::string value;
  int selected;          // row selected after UpdateData(FALSE)
  std::string editText;  // what the edit field shows
};

class ComboExchangeTest : public ControlsTest, public ::testing::WithParamInterface<ComboExchange> {};

TEST_P(ComboExchangeTest, SelectsTheFirstRowBeginningWithTheValueElseSetsTheText) {
  for (const std::string& row : GetParam().rows) dialog.combo.AddString(row);
  dialog.comboText = GetParam().value;
  ASSERT_TRUE(dialog.UpdateData(FALSE));
  EXPECT_EQ(dialog.combo.GetCurSel(), GetParam().selected);
  EXPECT_EQ(dialog.combo.GetWindowText(), GetParam().editText);
  ASSERT_TRUE(dialog.UpdateData(TRUE));
  EXPECT_EQ(dialog.comboText, GetParam().editText);
}

const std::string kLine = "VendorID:0x16D0; ProductID:0x00AB; Version: 0x0001";

INSTANTIATE_TEST_SUITE_P(
    Cases, ComboExchangeTest,
    ::testing::Values(ComboExchange{"WholeRow", {"other", kLine}, kLine, 1, kLine},
                      ComboExchange{"FirstRowWithThePrefix", {kLine, "VendorID:0x0001"}, "VendorID", 0, "VendorID:0x0001"},
                      ComboExchange{"PrefixIgnoringCase", {"other", kLine}, "vendorid:0x16d0", 1, kLine},
                      ComboExchange{"NoMatch", {kLine}, "typed", -1, "typed"},
                      ComboExchange{"EmptyValueSelectsTheFirstRow", {"b", "a"}, "", 0, "a"},
                      ComboExchange{"EmptyComboEmptyValue", {}, "", -1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ControlsTest, ComboExchangeReadsWhatTheOperatorTyped) {
  dialog.combo.AddString(kLine);
  dialog.combo.SetCurSel(0);
  dialog.window()->OperatorEditText(kCombo, "edited", {6, 6});
  ASSERT_TRUE(dialog.UpdateData(TRUE));
  EXPECT_EQ(dialog.comboText, "edited");
}

TEST_F(ControlsTest, ControlBindingIsMadeOnceAndEndsWithTheWindow) {
  ListBoxModel* first = list;
  EXPECT_EQ(dialog.list.model(), first);
  ASSERT_TRUE(dialog.UpdateData(TRUE));
  EXPECT_EQ(dialog.list.model(), first);

  dialog.DestroyWindow();
  EXPECT_FALSE(dialog.list.IsBound());
  EXPECT_FALSE(dialog.UpdateData(TRUE));
  // Unbound members fail every call instead of touching a gone control.
  EXPECT_EQ(dialog.list.InsertString(-1, "x"), CListBox::LB_ERR);
  EXPECT_EQ(dialog.combo.AddString("x"), CComboBox::CB_ERR);
  EXPECT_EQ(dialog.progress.EnableWindow(TRUE), FALSE);
  EXPECT_EQ(dialog.combo.GetWindowText(), "");

  ASSERT_TRUE(dialog.Create());
  EXPECT_TRUE(dialog.list.IsBound());
  list = static_cast<ListBoxModel*>(dialog.window()->Control(kList));
  combo = static_cast<ComboBoxModel*>(dialog.window()->Control(kCombo));
}

TEST_F(ControlsTest, AMemberDestroyedBeforeItsWindowLeavesNoDanglingBinding) {
  auto member = std::make_unique<CListBox>();
  CDataExchange exchange(&dialog, TRUE);
  DDX_Control(&exchange, kEdit, *member);
  ASSERT_TRUE(member->IsBound());
  member.reset();
  dialog.DestroyWindow();  // must not touch the destroyed member
  ASSERT_TRUE(dialog.Create());
  list = static_cast<ListBoxModel*>(dialog.window()->Control(kList));
}

}  // namespace
}  // namespace korrin::window::testing
