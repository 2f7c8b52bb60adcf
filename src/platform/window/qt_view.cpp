// The Qt Widgets view. One top-level widget per shown dialog, one child
// widget per control, placed at the pixel rectangles the model computed from
// dialog units; no layouts, so nothing ever moves a control.
#include "platform/window/qt_view.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QAbstractScrollArea>
#include <QMouseEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionTitleBar>
#include <QWidget>
#include <QWindow>
#include <qdrawutil.h>
#include <unordered_map>

namespace korrin::window {
namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

// A caption with the window system's mnemonic marks: "&&" is a literal
// ampersand, a single "&" marks the next letter. Qt's buttons and group
// boxes read the marks the same way; labels need them stripped.
QString WithoutMnemonics(const std::string& text) {
  QString out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      if (i + 1 < text.size() && text[i + 1] == '&') {
        out += QLatin1Char('&');
        ++i;
      }
      continue;
    }
    out += QChar::fromLatin1(text[i]);
  }
  return out;
}

QImage ToImage(const Icon& icon) {
  QImage image(icon.width, icon.height, QImage::Format_ARGB32);
  for (int y = 0; y < icon.height; ++y) {
    for (int x = 0; x < icon.width; ++x) {
      image.setPixel(x, y, icon.argb[static_cast<std::size_t>(y * icon.width + x)]);
    }
  }
  return image;
}

QFont DialogFont(const DialogTemplate& t, const std::string& family) {
  QFont font(Q(family));
  // Point size to pixels as the window system does: MulDiv(points, dpi, 72).
  const QScreen* screen = QGuiApplication::primaryScreen();
  const int dpi = screen != nullptr ? static_cast<int>(screen->logicalDotsPerInchY() + 0.5) : 96;
  font.setPixelSize(MulDiv(t.pointSize > 0 ? t.pointSize : 8, dpi, 72));
  font.setStyleStrategy(QFont::PreferDefault);
  return font;
}

class DialogWidget;

// The list box: rows of one height, painted from the model's rows as they
// stand, so appending a row costs the same however long the list is. No
// horizontal scrolling: a long row is cut at the right edge.
class ListBoxWidget final : public QAbstractScrollArea {
 public:
  ListBoxWidget(CDialog& dialog, int id, QWidget* parent) : QAbstractScrollArea(parent), dialog_(dialog), id_(id) {
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    QObject::connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
      if (refreshing_) return;
      if (DialogWindow* w = dialog_.window()) w->OperatorScrollList(id_, value);
      viewport()->update();
    });
  }

  void Refresh() {
    const ListBoxModel* m = Model();
    if (m == nullptr) return;
    // The bar shows only while there is something to scroll, at once (the
    // area's own "as needed" waits for the event loop).
    const bool scrolls = m->count() > m->visibleRows() && (m->style() & WS_VSCROLL) != 0;
    if (scrolls != (verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn)) {
      setVerticalScrollBarPolicy(scrolls ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    }
    QScrollBar* bar = verticalScrollBar();
    refreshing_ = true;
    bar->setRange(0, std::max(0, m->count() - m->visibleRows()));
    bar->setPageStep(m->visibleRows());
    bar->setSingleStep(1);
    bar->setValue(m->topIndex());
    refreshing_ = false;
    viewport()->update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    const ListBoxModel* m = Model();
    if (m == nullptr) return;
    QPainter painter(viewport());
    const int h = m->itemHeight();
    const int width = viewport()->width();
    const int last = std::min(m->count(), m->topIndex() + viewport()->height() / h + 2);
    for (int row = m->topIndex(); row < last; ++row) {
      const QRect r(0, (row - m->topIndex()) * h, width, h);
      const bool selected = row == m->curSel();
      if (selected) painter.fillRect(r, palette().brush(QPalette::Highlight));
      painter.setPen(palette().color(!isEnabled() ? QPalette::Disabled : QPalette::Active,
                                     selected ? QPalette::HighlightedText : QPalette::Text));
      painter.drawText(r.adjusted(2, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                       Q(m->rows()[static_cast<std::size_t>(row)]));
    }
  }

  void mousePressEvent(QMouseEvent* event) override {
    const ListBoxModel* m = Model();
    DialogWindow* w = dialog_.window();
    if (m == nullptr || w == nullptr) return;
    setFocus(Qt::MouseFocusReason);
    const int row = m->topIndex() + static_cast<int>(event->position().y()) / m->itemHeight();
    if (row < m->count()) w->OperatorSelectListRow(id_, row);
    Refresh();
  }

  void keyPressEvent(QKeyEvent* event) override {
    const ListBoxModel* m = Model();
    DialogWindow* w = dialog_.window();
    if (m == nullptr || w == nullptr || m->count() == 0) return QAbstractScrollArea::keyPressEvent(event);
    const int current = m->curSel() < 0 ? m->topIndex() : m->curSel();
    int row = -1;
    switch (event->key()) {
      case Qt::Key_Up: row = current - 1; break;
      case Qt::Key_Down: row = m->curSel() < 0 ? current : current + 1; break;
      case Qt::Key_PageUp: row = current - m->visibleRows(); break;
      case Qt::Key_PageDown: row = current + m->visibleRows(); break;
      case Qt::Key_Home: row = 0; break;
      case Qt::Key_End: row = m->count() - 1; break;
      default: return QAbstractScrollArea::keyPressEvent(event);
    }
    w->OperatorSelectListRow(id_, std::clamp(row, 0, m->count() - 1));
    Refresh();
  }

 private:
  const ListBoxModel* Model() const {
    DialogWindow* w = dialog_.window();
    return w != nullptr ? dynamic_cast<const ListBoxModel*>(w->Control(id_)) : nullptr;
  }

  CDialog& dialog_;
  int id_;
  bool refreshing_ = false;
};

// ---------------------------------------------------------------------------
class QtView final : public View, public std::enable_shared_from_this<QtView> {
 public:
  explicit QtView(QtViewOptions options) : options_(std::move(options)) {
    if (options_.classicStyle) {
      if (QStyle* style = QStyleFactory::create(QStringLiteral("Windows"))) {
        QApplication::setStyle(style);
        QPalette palette = style->standardPalette();
        // The classic scheme's selection colour: navy with white text.
        palette.setColor(QPalette::Active, QPalette::Highlight, QColor(0x00, 0x00, 0x80));
        palette.setColor(QPalette::Inactive, QPalette::Highlight, QColor(0x00, 0x00, 0x80));
        palette.setColor(QPalette::HighlightedText, Qt::white);
        QApplication::setPalette(palette);
      }
    }
  }
  ~QtView() override;

  FontMetrics Metrics(const DialogTemplate& t) override {
    const QFontMetrics fm(DialogFont(t, options_.fontFamily));
    // The window system's average character width: the extent of the 52
    // letters, halved twice with rounding.
    const int letters = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    FontMetrics m;
    m.averageCharWidth = (letters / 26 + 1) / 2;
    m.charHeight = fm.height();
    return m;
  }

  void Attach(CDialog& dialog) override;
  void Detach(CDialog& dialog) override;
  void Refresh(CDialog& dialog, int id) override;

  int ShowMessageBox(const MessageBoxRequest& request) override {
    QMessageBox box(QMessageBox::NoIcon, Q(request.caption), Q(request.text), QMessageBox::Ok, ActiveDialogWidget());
    box.setWindowModality(Qt::ApplicationModal);
    (void)box.exec();
    return IDOK;
  }

  FileDialogAnswer ShowFileDialog(const FileDialogRequest& request) override {
    QFileDialog dialog(ActiveDialogWidget(), QStringLiteral("Open"));
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(request.open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    // No flag asks that the file exist: a typed name of a missing file is
    // an answer too.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(NameFilters(request.filter));
    if (!request.initialFileName.empty()) dialog.selectFile(Q(request.initialFileName));
    FileDialogAnswer answer;
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
      answer.result = IDOK;
      answer.pathName = dialog.selectedFiles().first().toStdString();
    }
    return answer;
  }

  UINT TrackPopupMenu(CDialog& dialog, const std::vector<MenuEntry>& entries, int x, int y) override;

  DialogWidget* WidgetOf(CDialog& dialog) {
    auto it = widgets_.find(&dialog);
    return it == widgets_.end() ? nullptr : it->second;
  }
  const QtViewOptions& options() const { return options_; }

 private:
  // "Name|pattern|...||" as the window system's filters; its "*.*" matches
  // every name, as Qt's "*" does.
  static QStringList NameFilters(const std::string& filter) {
    QStringList parts = Q(filter).split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
      if (parts[i].isEmpty()) break;
      QString patterns = parts[i + 1];
      patterns.replace(QStringLiteral("*.*"), QStringLiteral("*"));
      patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
      filters << parts[i] + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    if (filters.isEmpty()) filters << QStringLiteral("All files (*)");
    return filters;
  }
  QWidget* ActiveDialogWidget() const;

  QtViewOptions options_;
  std::unordered_map<CDialog*, DialogWidget*> widgets_;
};

// ---------------------------------------------------------------------------
class DialogWidget final : public QWidget {
 public:
  DialogWidget(QtView& view, CDialog& dialog, QWidget* ownerWidget)
      : QWidget(ownerWidget, ownerWidget != nullptr ? Qt::Dialog : Qt::Window), view_(view), dialog_(dialog) {
    DialogWindow& w = *dialog.window();
    const DialogTemplate& t = dialog.dialogTemplate();
    Qt::WindowFlags flags = windowFlags() | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if ((t.style & WS_SYSMENU) != 0) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if ((t.style & WS_MINIMIZEBOX) != 0) flags |= Qt::WindowMinimizeButtonHint;
    if ((t.style & WS_MAXIMIZEBOX) != 0) flags |= Qt::WindowMaximizeButtonHint;
    setWindowFlags(flags);
    setWindowTitle(Q(t.caption));
    setFont(DialogFont(t, view.options().fontFamily));
    setAttribute(Qt::WA_DeleteOnClose, false);
    if (ownerWidget != nullptr) setWindowModality(Qt::ApplicationModal);
    // No sizing border: the window keeps the template's size unless it is
    // maximised.
    setFixedSize(w.templateWidth(), w.templateHeight());

    QWidget* previousTabStop = nullptr;
    for (const auto& control : w.controls()) {
      QWidget* child = MakeChild(*control);
      if (child == nullptr) continue;
      child->installEventFilter(this);
      children_[control.get()] = child;
      if (control->tabStop() && child->focusPolicy() != Qt::NoFocus) {
        if (previousTabStop != nullptr) QWidget::setTabOrder(previousTabStop, child);
        previousTabStop = child;
      }
      RefreshControl(*control);
    }
    RefreshWindow();
  }

  ~DialogWidget() override {
    // Children report edits and focus to the model while they are torn down.
    for (auto& [model, child] : children_) child->removeEventFilter(this);
    closingByModel_ = true;
  }

  void CloseByModel() {
    closingByModel_ = true;
    hide();
  }

  QWidget* ChildFor(int id) const {
    for (const auto& [model, child] : children_) {
      if (model->id() == id) return child;
    }
    return nullptr;
  }

  void Refresh(int id) {
    if (id == 0) {
      RefreshWindow();
      return;
    }
    for (const auto& control : dialog_.window()->controls()) {
      if (control->id() == id) RefreshControl(*control);
    }
  }

  CDialog& dialog() const { return dialog_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyPress) {
      if (HandleDialogKey(static_cast<QKeyEvent*>(event))) return true;
    } else if (event->type() == QEvent::FocusIn) {
      if (const ControlModel* model = ModelOf(watched)) {
        if (DialogWindow* w = dialog_.window(); w != nullptr && w->focusedId() != model->id()) {
          w->OperatorFocus(model->id());
        }
      }
    }
    return QWidget::eventFilter(watched, event);
  }

  void keyPressEvent(QKeyEvent* event) override {
    if (!HandleDialogKey(event)) QWidget::keyPressEvent(event);
  }

  // Right button on the background (group boxes and labels let it through).
  void contextMenuEvent(QContextMenuEvent* event) override {
    if (DialogWindow* w = dialog_.window()) w->OperatorContextMenu(event->pos().x(), event->pos().y());
    event->accept();
  }

  void closeEvent(QCloseEvent* event) override {
    if (closingByModel_) {
      event->accept();
      return;
    }
    // The caption's close button and Alt+F4 are a system command; the
    // dialog decides whether and how it ends.
    event->ignore();
    if (DialogWindow* w = dialog_.window()) w->OperatorCloseButton();
  }

  void changeEvent(QEvent* event) override {
    if (event->type() == QEvent::WindowStateChange) ReportState();
    QWidget::changeEvent(event);
  }

  void resizeEvent(QResizeEvent* event) override {
    QWidget::resizeEvent(event);
    ReportState();
  }

 private:
  const ControlModel* ModelOf(QObject* object) const {
    for (const auto& [model, child] : children_) {
      if (child == object || child->isAncestorOf(qobject_cast<QWidget*>(object))) return model;
    }
    return nullptr;
  }

  bool HandleDialogKey(QKeyEvent* event) {
    DialogWindow* w = dialog_.window();
    if (w == nullptr) return false;
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && mods == Qt::NoModifier) {
      w->OperatorKey(DialogKey::kEnter);
      return true;
    }
    if (event->key() == Qt::Key_Escape && mods == Qt::NoModifier) {
      w->OperatorKey(DialogKey::kEscape);
      return true;
    }
    if (event->key() == Qt::Key_Space && mods == Qt::AltModifier) {
      w->OperatorKey(DialogKey::kAltSpace);
      return true;
    }
    return false;
  }

  WindowState QtState() const {
    if (isMinimized()) return WindowState::kMinimized;
    if (isMaximized()) return WindowState::kMaximized;
    return WindowState::kNormal;
  }

  void ReportState() {
    if (applyingState_) return;
    DialogWindow* w = dialog_.window();
    if (w == nullptr) return;
    const WindowState state = QtState();
    if (state == WindowState::kNormal && w->state() != WindowState::kNormal) setFixedSize(w->templateWidth(), w->templateHeight());
    w->PlatformStateChanged(state, width(), height());
  }

  QWidget* MakeChild(const ControlModel& model) {
    const Rect r = model.rect();
    const int id = model.id();
    DialogWindow* w = dialog_.window();
    QWidget* child = nullptr;
    switch (model.kind()) {
      case ControlKind::kGroupBox: {
        auto* box = new QGroupBox(Q(model.text()), this);
        box->setFocusPolicy(Qt::NoFocus);
        child = box;
        break;
      }
      case ControlKind::kPushButton:
      case ControlKind::kOther: {
        auto* button = new QPushButton(Q(model.text()), this);
        button->setAutoDefault(false);
        button->setDefault(model.IsDefaultPushButton());
        button->setFocusPolicy(model.tabStop() ? Qt::StrongFocus : Qt::ClickFocus);
        QObject::connect(button, &QPushButton::clicked, this, [this, id] {
          if (DialogWindow* dw = dialog_.window()) dw->OperatorClick(id);
        });
        child = button;
        break;
      }
      case ControlKind::kStatic: {
        auto* label = new QLabel(this);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setFocusPolicy(Qt::NoFocus);
        child = label;
        break;
      }
      case ControlKind::kIcon: {
        auto* label = new QLabel(this);
        label->setFocusPolicy(Qt::NoFocus);
        if (HICON icon = LoadIcon(model.controlTemplate().iconResource)) {
          label->setPixmap(QPixmap::fromImage(ToImage(*icon)));
          // An icon static takes the icon's size, whatever the template says.
          label->setGeometry(r.left, r.top, icon->width, icon->height);
        }
        return label;
      }
      case ControlKind::kEdit: {
        auto* edit = new QLineEdit(this);
        edit->setFrame((model.style() & WS_BORDER) != 0);
        edit->setReadOnly((model.style() & ES_READONLY) != 0);
        edit->setFocusPolicy(model.tabStop() ? Qt::StrongFocus : Qt::ClickFocus);
        auto report = [this, id, edit] {
          DialogWindow* dw = dialog_.window();
          if (dw == nullptr) return;
          TextSelection sel{edit->cursorPosition(), edit->cursorPosition()};
          if (edit->hasSelectedText()) {
            sel.start = edit->selectionStart();
            sel.end = edit->selectionStart() + static_cast<int>(edit->selectedText().size());
          }
          dw->OperatorEditText(id, edit->text().toStdString(), sel);
        };
        QObject::connect(edit, &QLineEdit::textEdited, this, report);
        QObject::connect(edit, &QLineEdit::selectionChanged, this, report);
        child = edit;
        break;
      }
      case ControlKind::kListBox: {
        auto* list = new ListBoxWidget(dialog_, id, this);
        list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        list->setFrameShape((model.style() & WS_BORDER) != 0 ? QFrame::Box : QFrame::NoFrame);
        list->setFocusPolicy(model.tabStop() ? Qt::StrongFocus : Qt::ClickFocus);
        child = list;
        break;
      }
      case ControlKind::kComboBox: {
        auto* combo = new QComboBox(this);
        combo->setEditable(true);
        combo->setInsertPolicy(QComboBox::NoInsert);
        combo->setCompleter(nullptr);
        combo->setDuplicatesEnabled(true);
        combo->setFocusPolicy(model.tabStop() ? Qt::StrongFocus : Qt::ClickFocus);
        combo->lineEdit()->installEventFilter(this);
        const int closedHeight = combo->sizeHint().height();
        const int itemHeight = std::max(1, w->metrics().charHeight);
        // The template's height is the height of the open list.
        combo->setMaxVisibleItems(std::max(1, (r.Height() - closedHeight) / itemHeight));
        QObject::connect(combo, qOverload<int>(&QComboBox::activated), this, [this, id](int row) {
          if (DialogWindow* dw = dialog_.window()) dw->OperatorSelectComboRow(id, row);
        });
        QLineEdit* edit = combo->lineEdit();
        auto report = [this, id, edit] {
          DialogWindow* dw = dialog_.window();
          if (dw == nullptr) return;
          TextSelection sel{edit->cursorPosition(), edit->cursorPosition()};
          if (edit->hasSelectedText()) {
            sel.start = edit->selectionStart();
            sel.end = edit->selectionStart() + static_cast<int>(edit->selectedText().size());
          }
          dw->OperatorEditText(id, edit->text().toStdString(), sel);
        };
        QObject::connect(edit, &QLineEdit::textEdited, this, report);
        combo->setGeometry(r.left, r.top, r.Width(), closedHeight);
        return combo;
      }
      case ControlKind::kProgress: {
        auto* bar = new QProgressBar(this);
        bar->setTextVisible(false);
        bar->setFocusPolicy(Qt::NoFocus);
        child = bar;
        break;
      }
    }
    child->setGeometry(r.left, r.top, r.Width(), r.Height());
    return child;
  }

  void RefreshControl(const ControlModel& model) {
    auto it = children_.find(&model);
    if (it == children_.end()) return;
    QWidget* child = it->second;
    const QSignalBlocker block(child);
    child->setEnabled(model.enabled());
    child->setVisible(model.visible());
    switch (model.kind()) {
      case ControlKind::kGroupBox:
        static_cast<QGroupBox*>(child)->setTitle(Q(model.text()));
        break;
      case ControlKind::kPushButton:
      case ControlKind::kOther:
        static_cast<QPushButton*>(child)->setText(Q(model.text()));
        break;
      case ControlKind::kStatic:
        static_cast<QLabel*>(child)->setText((model.style() & SS_NOPREFIX) != 0 ? Q(model.text())
                                                                                : WithoutMnemonics(model.text()));
        break;
      case ControlKind::kIcon:
        break;
      case ControlKind::kEdit: {
        auto* edit = static_cast<QLineEdit*>(child);
        const auto& em = static_cast<const EditModel&>(model);
        if (edit->text() != Q(em.text())) edit->setText(Q(em.text()));
        const TextSelection sel = em.selection();
        if (sel.start != sel.end) {
          edit->setSelection(sel.start, sel.end - sel.start);
        } else {
          edit->setCursorPosition(sel.start);
        }
        break;
      }
      case ControlKind::kListBox:
        static_cast<ListBoxWidget*>(child)->Refresh();
        break;
      case ControlKind::kComboBox: {
        auto* combo = static_cast<QComboBox*>(child);
        const auto& cm = static_cast<const ComboBoxModel&>(model);
        const QSignalBlocker blockEdit(combo->lineEdit());
        bool same = combo->count() == cm.count();
        for (int i = 0; same && i < cm.count(); ++i) same = combo->itemText(i) == Q(cm.rows()[static_cast<std::size_t>(i)]);
        if (!same) {
          combo->clear();
          for (const std::string& row : cm.rows()) combo->addItem(Q(row));
        }
        combo->setCurrentIndex(cm.curSel());
        combo->setEditText(Q(cm.text()));
        const TextSelection sel = cm.editSelection();
        if (sel.start != sel.end) {
          combo->lineEdit()->setSelection(sel.start, sel.end - sel.start);
        } else {
          combo->lineEdit()->setCursorPosition(sel.start);
        }
        break;
      }
      case ControlKind::kProgress: {
        auto* bar = static_cast<QProgressBar*>(child);
        const auto& pm = static_cast<const ProgressModel&>(model);
        bar->setRange(pm.lower(), pm.upper());
        bar->setValue(pm.pos());
        break;
      }
    }
  }

  void RefreshWindow() {
    DialogWindow* w = dialog_.window();
    if (w == nullptr) return;
    QIcon icon;
    for (bool big : {true, false}) {
      if (HICON i = w->icon(big)) icon.addPixmap(QPixmap::fromImage(ToImage(*i)));
    }
    if (!icon.isNull()) setWindowIcon(icon);
    ApplyState(w->state());
    if (QWidget* focused = ChildFor(w->focusedId()); focused != nullptr && !focused->hasFocus()) {
      focused->setFocus(Qt::OtherFocusReason);
    }
  }

  void ApplyState(WindowState state) {
    if (state == QtState()) return;
    applyingState_ = true;
    DialogWindow* w = dialog_.window();
    switch (state) {
      case WindowState::kNormal:
        showNormal();
        setFixedSize(w->templateWidth(), w->templateHeight());
        break;
      case WindowState::kMaximized:
        setMinimumSize(w->templateWidth(), w->templateHeight());
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        showMaximized();
        break;
      case WindowState::kMinimized:
        showMinimized();
        break;
    }
    applyingState_ = false;
    w->PlatformStateChanged(QtState() == state ? state : QtState(), width(), height());
  }

  QtView& view_;
  CDialog& dialog_;
  std::unordered_map<const ControlModel*, QWidget*> children_;
  bool closingByModel_ = false;
  bool applyingState_ = false;
};

QtView::~QtView() {
  for (auto& [dialog, widget] : widgets_) delete widget;
}

QWidget* QtView::ActiveDialogWidget() const {
  if (QWidget* modal = QApplication::activeModalWidget()) return modal;
  for (const auto& [dialog, widget] : widgets_) {
    if (widget->isVisible()) return widget;
  }
  return nullptr;
}

void QtView::Attach(CDialog& dialog) {
  if (widgets_.count(&dialog) != 0 || dialog.window() == nullptr) return;
  CDialog* owner = dialog.parent() != nullptr ? dialog.parent() : MainWindow();
  QWidget* ownerWidget = nullptr;
  if (owner != nullptr && owner != &dialog) {
    if (DialogWidget* ow = WidgetOf(*owner)) ownerWidget = ow;
  }
  auto* widget = new DialogWidget(*this, dialog, ownerWidget);
  widgets_[&dialog] = widget;
  // Position (0, 0) without a centring style: centred on the owner, or on
  // the screen when there is none.
  const QRect area = ownerWidget != nullptr ? ownerWidget->frameGeometry()
                                            : (QGuiApplication::primaryScreen() != nullptr
                                                   ? QGuiApplication::primaryScreen()->availableGeometry()
                                                   : QRect(0, 0, 1024, 768));
  widget->move(area.center() - QPoint(widget->width() / 2, widget->height() / 2));
  widget->show();
  widget->Refresh(0);
}

void QtView::Detach(CDialog& dialog) {
  auto it = widgets_.find(&dialog);
  if (it == widgets_.end()) return;
  DialogWidget* widget = it->second;
  widgets_.erase(it);
  widget->CloseByModel();
  // Owned dialogs are children of their owner's widget; deleting here takes
  // them out of it at once.
  delete widget;
}

void QtView::Refresh(CDialog& dialog, int id) {
  if (DialogWidget* widget = WidgetOf(dialog)) widget->Refresh(id);
}

UINT QtView::TrackPopupMenu(CDialog& dialog, const std::vector<MenuEntry>& entries, int x, int y) {
  DialogWidget* widget = WidgetOf(dialog);
  if (widget == nullptr) return 0;
  QMenu menu(widget);
  std::unordered_map<QAction*, UINT> ids;
  for (const MenuEntry& entry : entries) {
    if (entry.separator) {
      menu.addSeparator();
      continue;
    }
    QString text = Q(entry.text);
    QString shortcut;
    if (const int tab = text.indexOf(QLatin1Char('\t')); tab >= 0) {
      shortcut = text.mid(tab + 1);
      text = text.left(tab);
    }
    QAction* action = menu.addAction(text);
    if (!shortcut.isEmpty()) action->setShortcut(QKeySequence(shortcut));
    action->setEnabled(entry.enabled);
    ids[action] = entry.id;
  }
  QAction* chosen = menu.exec(widget->mapToGlobal(QPoint(x, y)));
  auto it = ids.find(chosen);
  return it == ids.end() ? 0 : it->second;
}

}  // namespace

std::shared_ptr<View> MakeQtView(QtViewOptions options) { return std::make_shared<QtView>(std::move(options)); }

QWidget* QtWidgetFor(CDialog& dialog, int id) {
  DialogWindow* w = dialog.window();
  if (w == nullptr) return nullptr;
  auto* view = dynamic_cast<QtView*>(w->view());
  if (view == nullptr) return nullptr;
  DialogWidget* widget = view->WidgetOf(dialog);
  if (widget == nullptr) return nullptr;
  return id == 0 ? widget : widget->ChildFor(id);
}

bool RenderDialogToPng(CDialog& dialog, const std::string& path) {
  QWidget* widget = QtWidgetFor(dialog);
  if (widget == nullptr) return false;
  const QPixmap client = widget->grab();
  QStyle* style = widget->style();
  const int border = 4;  // the dialog frame: two 3-D edges
  const int caption = std::max(18, widget->fontMetrics().height() + 6);
  QImage image(client.width() + 2 * border, client.height() + caption + 2 * border + 1, QImage::Format_ARGB32);
  image.fill(widget->palette().color(QPalette::Window));
  QPainter painter(&image);
  qDrawWinPanel(&painter, 0, 0, image.width(), image.height(), widget->palette(), false);

  QStyleOptionTitleBar bar;
  bar.initFrom(widget);
  bar.rect = QRect(border, border, client.width(), caption);
  bar.text = widget->windowTitle();
  bar.icon = widget->windowIcon();
  bar.titleBarFlags = widget->windowFlags();
  bar.titleBarState = Qt::WindowActive;
  bar.state |= QStyle::State_Active;
  bar.subControls = QStyle::SC_TitleBarLabel | QStyle::SC_TitleBarSysMenu | QStyle::SC_TitleBarCloseButton;
  if (widget->windowFlags() & Qt::WindowMinimizeButtonHint) bar.subControls |= QStyle::SC_TitleBarMinButton;
  if (widget->windowFlags() & Qt::WindowMaximizeButtonHint) bar.subControls |= QStyle::SC_TitleBarMaxButton;
  bar.palette.setColor(QPalette::Highlight, QColor(0x00, 0x00, 0x80));
  bar.palette.setColor(QPalette::HighlightedText, Qt::white);
  bar.palette.setColor(QPalette::Base, QColor(0x10, 0x84, 0xD0));
  style->drawComplexControl(QStyle::CC_TitleBar, &bar, &painter, widget);
  painter.drawPixmap(border, border + caption + 1, client);
  painter.end();
  return image.save(QString::fromStdString(path), "PNG");
}

}  // namespace korrin::window
