// The program's resources as data: the two dialog templates, the icon
// IDR_MAINFRAME, the string table and the version data.
#pragma once

#include <string>

#include "platform/window/window.h"

namespace korrin::ui {

// Registers the icon and the strings with the window layer; idempotent.
void EnsureResources();

const korrin::window::DialogTemplate& MainDialogTemplate();
const korrin::window::DialogTemplate& AboutDialogTemplate();

// IDR_MAINFRAME: a 16 x 16 picture at 32 bits per pixel, drawn here.
korrin::window::Icon DrawMainFrameIcon();

// The executable's version data (what a version resource would carry).
struct VersionData {
  const char* fileDescription;
  const char* fileVersion;     // "1, 0, 0, 1"
  const char* internalName;
  const char* originalFilename;
  const char* productName;
  const char* productVersion;  // "1, 0, 0, 1"
  const char* dottedVersion;   // "1.0.0.1"
};
const VersionData& Version();

// The About box's second line.
std::string AboutSecondLine();

}  // namespace korrin::ui
