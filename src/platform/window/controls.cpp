// Control models, the member objects bound to them, and data exchange.
#include <algorithm>
#include <cctype>

#include "platform/window/window.h"

namespace korrin::window {
namespace {

ControlKind KindOf(const ControlTemplate& t) {
  if (t.className == "BUTTON") {
    const UINT type = t.style & BS_TYPEMASK;
    if (type == BS_GROUPBOX) return ControlKind::kGroupBox;
    if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON) return ControlKind::kPushButton;
    return ControlKind::kOther;
  }
  if (t.className == "STATIC") return (t.style & SS_TYPEMASK) == SS_ICON ? ControlKind::kIcon : ControlKind::kStatic;
  if (t.className == "EDIT") return ControlKind::kEdit;
  if (t.className == "LISTBOX") return ControlKind::kListBox;
  if (t.className == "COMBOBOX") return ControlKind::kComboBox;
  if (t.className == "msctls_progress32") return ControlKind::kProgress;
  return ControlKind::kOther;
}

// The window system sorts and searches list rows without regard to letter
// case. Folding ASCII only leaves multi-byte sequences as they are.
int CompareIgnoringCase(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const int x = std::tolower(static_cast<unsigned char>(a[i]));
    const int y = std::tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool BeginsWithIgnoringCase(const std::string& text, const std::string& prefix) {
  if (prefix.size() > text.size()) return false;
  return CompareIgnoringCase(text.substr(0, prefix.size()), prefix) == 0;
}

// Index at which `text` goes into rows sorted without regard to case: after
// every row that compares equal, so equal rows keep the order they came in.
int SortedPosition(const std::vector<std::string>& rows, const std::string& text) {
  auto it = std::upper_bound(rows.begin(), rows.end(), text,
                             [](const std::string& a, const std::string& b) { return CompareIgnoringCase(a, b) < 0; });
  return static_cast<int>(it - rows.begin());
}

TextSelection Normalised(int start, int end, int length) {
  if (end < 0 || end > length) end = length;
  if (start < 0) start = 0;  // EM_SETSEL with -1: no selection, caret kept at the start
  if (start > length) start = length;
  if (start > end) std::swap(start, end);
  return {start, end};
}

}  // namespace

// ---------------------------------------------------------------------------
ControlModel::ControlModel(DialogWindow& owner, const ControlTemplate& controlTemplate, Rect pixels)
    : text_(controlTemplate.caption),
      owner_(owner),
      template_(controlTemplate),
      kind_(KindOf(controlTemplate)),
      rect_(pixels),
      enabled_((controlTemplate.style & WS_DISABLED) == 0) {}

ControlModel::~ControlModel() {
  if (boundTo_ != nullptr) boundTo_->model_ = nullptr;
}

BOOL ControlModel::SetEnabled(bool enabled) {
  const BOOL wasDisabled = enabled_ ? FALSE : TRUE;
  if (enabled_ != enabled) {
    enabled_ = enabled;
    Changed();
  }
  return wasDisabled;
}

bool ControlModel::IsDefaultPushButton() const {
  return kind_ == ControlKind::kPushButton && (template_.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
}

void ControlModel::SetText(const std::string& text) {
  text_ = text;
  Changed();
}

void ControlModel::Changed() { owner_.NotifyChanged(template_.id); }

// ---------------------------------------------------------------------------
void EditModel::SetText(const std::string& text) {
  text_ = text;
  selection_ = {0, 0};
  Changed();
}

void EditModel::SetSelection(int start, int end) {
  selection_ = Normalised(start, end, static_cast<int>(text_.size()));
  Changed();
}

void EditModel::Clear() {
  if (selection_.start == selection_.end) return;
  text_.erase(static_cast<std::size_t>(selection_.start), static_cast<std::size_t>(selection_.end - selection_.start));
  selection_ = {selection_.start, selection_.start};
  Changed();
}

void EditModel::OperatorEdited(const std::string& text, TextSelection selection) {
  text_ = text;
  selection_ = Normalised(selection.start, selection.end, static_cast<int>(text_.size()));
}

// ---------------------------------------------------------------------------
ListBoxModel::ListBoxModel(DialogWindow& owner, const ControlTemplate& controlTemplate, Rect pixels, int itemHeight)
    : ControlModel(owner, controlTemplate, pixels), itemHeight_(std::max(1, itemHeight)) {}

int ListBoxModel::visibleRows() const {
  const int border = (style() & WS_BORDER) != 0 ? 2 : 0;
  return std::max(1, (rect().Height() - border) / itemHeight_);
}

int ListBoxModel::InsertString(int index, const std::string& text) {
  if (index < -1 || index > count()) return LB_ERR;
  if (count() >= maxCount_) return LB_ERRSPACE;
  if (index == -1) index = count();
  ++revision_;
  if (index != count()) lastReorderRevision_ = revision_;
  rows_.insert(rows_.begin() + index, text);
  if (curSel_ >= index) ++curSel_;
  Changed();
  return index;
}

int ListBoxModel::AddString(const std::string& text) {
  if (count() >= maxCount_) return LB_ERRSPACE;
  const int index = (style() & LBS_SORT) != 0 ? SortedPosition(rows_, text) : count();
  return InsertString(index, text);
}

void ListBoxModel::ScrollIntoView(int index) {
  const int visible = visibleRows();
  if (index < topIndex_) {
    topIndex_ = index;
  } else if (index >= topIndex_ + visible) {
    topIndex_ = index - visible + 1;
  }
  topIndex_ = std::clamp(topIndex_, 0, std::max(0, count() - visible));
}

int ListBoxModel::SetCurSel(int index) {
  if (index == -1) {
    curSel_ = -1;
    Changed();
    return LB_ERR;
  }
  if (index < 0 || index >= count()) return LB_ERR;
  curSel_ = index;
  ScrollIntoView(index);
  Changed();
  return index;
}

void ListBoxModel::OperatorScrolled(int topIndex) {
  topIndex_ = std::clamp(topIndex, 0, std::max(0, count() - visibleRows()));
}

void ListBoxModel::OperatorSelected(int index) {
  if (index < 0 || index >= count()) return;
  curSel_ = index;
  ScrollIntoView(index);
}

// ---------------------------------------------------------------------------
int ComboBoxModel::AddString(const std::string& text) {
  const int index = (style() & CBS_SORT) != 0 ? SortedPosition(rows_, text) : count();
  rows_.insert(rows_.begin() + index, text);
  if (curSel_ >= index) ++curSel_;
  Changed();
  return index;
}

void ComboBoxModel::SetText(const std::string& text) {
  text_ = text;
  const int length = static_cast<int>(text_.size());
  editSelection_ = owner().focusedId() == id() ? TextSelection{0, length} : TextSelection{0, 0};
  Changed();
}

int ComboBoxModel::SetCurSel(int index) {
  if (index < 0 || index >= count()) {
    curSel_ = -1;
    SetText("");
    return CB_ERR;
  }
  curSel_ = index;
  SetText(rows_[static_cast<std::size_t>(index)]);
  return index;
}

void ComboBoxModel::ResetContent() {
  rows_.clear();
  curSel_ = -1;
  text_.clear();
  editSelection_ = {0, 0};
  Changed();
}

void ComboBoxModel::Clear() {
  if (editSelection_.start == editSelection_.end) return;
  text_.erase(static_cast<std::size_t>(editSelection_.start),
              static_cast<std::size_t>(editSelection_.end - editSelection_.start));
  editSelection_ = {editSelection_.start, editSelection_.start};
  Changed();
}

int ComboBoxModel::SelectString(int startAfter, const std::string& prefix) {
  const int n = count();
  if (n == 0) return CB_ERR;
  const int first = (startAfter < 0 || startAfter >= n) ? 0 : startAfter + 1;
  for (int k = 0; k < n; ++k) {
    const int i = (first + k) % n;
    if (BeginsWithIgnoringCase(rows_[static_cast<std::size_t>(i)], prefix)) return SetCurSel(i);
  }
  return CB_ERR;
}

void ComboBoxModel::SetEditSelection(int start, int end) {
  editSelection_ = Normalised(start, end, static_cast<int>(text_.size()));
  Changed();
}

void ComboBoxModel::OperatorEdited(const std::string& text, TextSelection selection) {
  text_ = text;
  editSelection_ = Normalised(selection.start, selection.end, static_cast<int>(text_.size()));
}

void ComboBoxModel::OperatorSelected(int index) {
  if (index < 0 || index >= count()) return;
  curSel_ = index;
  SetText(rows_[static_cast<std::size_t>(index)]);
}

// ---------------------------------------------------------------------------
int ProgressModel::SetPos(int pos) {
  const int previous = pos_;
  pos_ = std::clamp(pos, lower(), upper());
  if (pos_ != previous) Changed();
  return previous;
}

// ---------------------------------------------------------------------------
CWnd::~CWnd() {
  if (model_ != nullptr && model_->boundTo_ == this) model_->boundTo_ = nullptr;
}

BOOL CWnd::EnableWindow(BOOL enable) { return model_ != nullptr ? model_->SetEnabled(enable != FALSE) : FALSE; }

BOOL CWnd::IsWindowEnabled() const { return model_ != nullptr && model_->enabled() ? TRUE : FALSE; }

void CWnd::SetWindowText(const std::string& text) {
  if (model_ != nullptr) model_->SetText(text);
}

std::string CWnd::GetWindowText() const { return model_ != nullptr ? model_->text() : std::string(); }

int CWnd::GetDlgCtrlID() const { return model_ != nullptr ? model_->id() : 0; }

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (model_ == nullptr) return 0;
  const int index = static_cast<int>(static_cast<INT_PTR>(wParam));
  const char* text = reinterpret_cast<const char*>(lParam);
  auto* list = dynamic_cast<ListBoxModel*>(model_);
  auto* combo = dynamic_cast<ComboBoxModel*>(model_);
  switch (message) {
    case WM_SETTEXT:
      model_->SetText(text != nullptr ? text : "");
      return TRUE;
    case WM_CLEAR:
      if (combo != nullptr) combo->Clear();
      if (auto* edit = dynamic_cast<EditModel*>(model_)) edit->Clear();
      return 0;
    case CB_ADDSTRING:
      return combo != nullptr ? combo->AddString(text != nullptr ? text : "") : ComboBoxModel::CB_ERR;
    case CB_SETCURSEL:
      return combo != nullptr ? combo->SetCurSel(index) : ComboBoxModel::CB_ERR;
    case CB_RESETCONTENT:
      if (combo != nullptr) combo->ResetContent();
      return 0;
    case CB_SELECTSTRING:
      return combo != nullptr ? combo->SelectString(index, text != nullptr ? text : "") : ComboBoxModel::CB_ERR;
    case LB_ADDSTRING:
      return list != nullptr ? list->AddString(text != nullptr ? text : "") : ListBoxModel::LB_ERR;
    case LB_INSERTSTRING:
      return list != nullptr ? list->InsertString(index, text != nullptr ? text : "") : ListBoxModel::LB_ERR;
    case LB_SETCURSEL:
      return list != nullptr ? list->SetCurSel(index) : ListBoxModel::LB_ERR;
    case PBM_SETPOS:
      if (auto* progress = dynamic_cast<ProgressModel*>(model_)) return progress->SetPos(index);
      return 0;
    default:
      return 0;
  }
}

// ---------------------------------------------------------------------------
ListBoxModel* CListBox::list() const { return dynamic_cast<ListBoxModel*>(model_); }

int CListBox::InsertString(int index, const std::string& text) {
  return list() != nullptr ? list()->InsertString(index, text) : LB_ERR;
}
int CListBox::AddString(const std::string& text) { return list() != nullptr ? list()->AddString(text) : LB_ERR; }
int CListBox::SetCurSel(int index) { return list() != nullptr ? list()->SetCurSel(index) : LB_ERR; }
int CListBox::GetCurSel() const { return list() != nullptr ? list()->curSel() : LB_ERR; }
int CListBox::GetCount() const { return list() != nullptr ? list()->count() : LB_ERR; }
std::string CListBox::GetText(int index) const {
  if (list() == nullptr || index < 0 || index >= list()->count()) return {};
  return list()->rows()[static_cast<std::size_t>(index)];
}
int CListBox::GetTopIndex() const { return list() != nullptr ? list()->topIndex() : LB_ERR; }

ComboBoxModel* CComboBox::combo() const { return dynamic_cast<ComboBoxModel*>(model_); }

int CComboBox::AddString(const std::string& text) { return combo() != nullptr ? combo()->AddString(text) : CB_ERR; }
int CComboBox::SetCurSel(int index) { return combo() != nullptr ? combo()->SetCurSel(index) : CB_ERR; }
int CComboBox::GetCurSel() const { return combo() != nullptr ? combo()->curSel() : CB_ERR; }
int CComboBox::GetCount() const { return combo() != nullptr ? combo()->count() : CB_ERR; }
std::string CComboBox::GetLBText(int index) const {
  if (combo() == nullptr || index < 0 || index >= combo()->count()) return {};
  return combo()->rows()[static_cast<std::size_t>(index)];
}
void CComboBox::ResetContent() {
  if (combo() != nullptr) combo()->ResetContent();
}
void CComboBox::Clear() {
  if (combo() != nullptr) combo()->Clear();
}
void CComboBox::SetEditSel(int start, int end) {
  if (combo() != nullptr) combo()->SetEditSelection(start, end);
}
int CComboBox::SelectString(int startAfter, const std::string& prefix) {
  return combo() != nullptr ? combo()->SelectString(startAfter, prefix) : CB_ERR;
}

ProgressModel* CProgressCtrl::progress() const { return dynamic_cast<ProgressModel*>(model_); }
int CProgressCtrl::SetPos(int pos) { return progress() != nullptr ? progress()->SetPos(pos) : 0; }
int CProgressCtrl::GetPos() const { return progress() != nullptr ? progress()->pos() : 0; }

// ---------------------------------------------------------------------------
namespace {
ControlModel* ExchangeTarget(CDataExchange* pDX, int id) {
  if (pDX == nullptr || pDX->dialog_ == nullptr || pDX->dialog_->window() == nullptr) return nullptr;
  return pDX->dialog_->window()->Control(id);
}
}  // namespace

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
  if (control.model_ != nullptr) return;
  ControlModel* model = ExchangeTarget(pDX, id);
  if (model == nullptr) return;
  if (model->boundTo_ != nullptr) model->boundTo_->model_ = nullptr;
  control.model_ = model;
  model->boundTo_ = &control;
}

void DDX_Text(CDataExchange* pDX, int id, std::string& value) {
  ControlModel* model = ExchangeTarget(pDX, id);
  if (model == nullptr) return;
  if (pDX->m_bSaveAndValidate) {
    value = model->text();
  } else {
    model->SetText(value);
  }
}

void DDX_CBString(CDataExchange* pDX, int id, std::string& value) {
  ControlModel* model = ExchangeTarget(pDX, id);
  if (model == nullptr) return;
  if (pDX->m_bSaveAndValidate) {
    value = model->text();
    return;
  }
  auto* combo = dynamic_cast<ComboBoxModel*>(model);
  if (combo == nullptr || combo->SelectString(-1, value) == ComboBoxModel::CB_ERR) model->SetText(value);
}

}  // namespace korrin::window
