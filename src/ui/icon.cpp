// IDR_MAINFRAME, drawn in code. Needs nothing but the layer's Icon type, so
// the build-time icon exporter can use it without a window system.
#include "ui/app_resources.h"

namespace korrin::ui {

using korrin::window::Icon;

Icon DrawMainFrameIcon() {
  // A chip, pins on both sides, with an arrow going into it: firmware on its
  // way into the device.
  constexpr std::uint32_t kClear = 0x00000000;
  constexpr std::uint32_t kPin = 0xFFC8C8C8;
  constexpr std::uint32_t kPinShade = 0xFF808080;
  constexpr std::uint32_t kBody = 0xFF2E3440;
  constexpr std::uint32_t kEdge = 0xFF5A6272;
  constexpr std::uint32_t kArrow = 0xFF3CC83C;
  constexpr std::uint32_t kArrowShade = 0xFF1E7A1E;
  Icon icon;
  icon.width = 16;
  icon.height = 16;
  icon.argb.assign(16 * 16, kClear);
  auto put = [&icon](int x, int y, std::uint32_t c) { icon.argb[static_cast<std::size_t>(y * 16 + x)] = c; };
  // Body: x 3..12, y 2..14, with a lighter edge and a notch at the top.
  for (int y = 2; y <= 14; ++y) {
    for (int x = 3; x <= 12; ++x) {
      const bool edge = x == 3 || x == 12 || y == 2 || y == 14;
      put(x, y, edge ? kEdge : kBody);
    }
  }
  put(7, 2, kClear);
  put(8, 2, kClear);
  put(7, 3, kEdge);
  put(8, 3, kEdge);
  // Pins: four a side.
  for (int y : {4, 7, 10, 13}) {
    put(1, y, kPinShade);
    put(2, y, kPin);
    put(13, y, kPin);
    put(14, y, kPinShade);
  }
  // The arrow, pointing down into the chip.
  for (int y = 0; y <= 8; ++y) {
    put(7, y, kArrow);
    put(8, y, kArrowShade);
  }
  for (int x = 5; x <= 10; ++x) put(x, 9, x <= 7 ? kArrow : kArrowShade);
  for (int x = 6; x <= 9; ++x) put(x, 10, x <= 7 ? kArrow : kArrowShade);
  put(7, 11, kArrow);
  put(8, 11, kArrowShade);
  return icon;
}

}  // namespace korrin::ui
