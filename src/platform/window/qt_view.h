// The Qt Widgets view of the window layer: shows each dialog's models as
// widgets and hands the operator's input back to the models. Everything the
// program relies on (Enter, Escape, the window menu, data exchange) is done
// by the models; the widgets only show it and report clicks, keys and edits.
//
// Error convention: as the layer's (window.h). Needs a QApplication.
#pragma once

#include <memory>
#include <string>

#include "platform/window/window.h"

class QWidget;

namespace korrin::window {

struct QtViewOptions {
  // The classic look: Qt's "Windows" style for the whole application.
  bool classicStyle = true;
  // Stands in for the templates' "MS Sans Serif" at the template's size.
  std::string fontFamily = "DejaVu Sans";
};

std::shared_ptr<View> MakeQtView(QtViewOptions options = {});

// The widget that shows a dialog (id 0) or one of its controls, null when the
// dialog is not shown by a Qt view. Callers that use the widget link Qt
// Widgets themselves.
QWidget* QtWidgetFor(CDialog& dialog, int id = 0);

// Renders a shown dialog to a PNG file as the operator sees it: the client
// area inside a classic frame and caption drawn by the style. False when the
// dialog is not shown by a Qt view or the file cannot be written.
bool RenderDialogToPng(CDialog& dialog, const std::string& path);

}  // namespace korrin::window
