#pragma once

#include <cstdio>
#include <string>

namespace cw::ui {

// Points, origin bottom-left, y up.
struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

struct Rect {
  Point origin;
  Size size;
  bool operator==(const Rect&) const = default;
};

inline Rect makeRect(double x, double y, double width, double height) {
  return Rect{{x, y}, {width, height}};
}

// "<Kind id: x y width height>", as a view or window describes itself.
inline std::string describeFramed(const char* kind, unsigned long long id, const Rect& frame) {
  char text[160];
  std::snprintf(text, sizeof text, "<%s %llu: %g %g %g %g>", kind, id, frame.origin.x, frame.origin.y, frame.size.width,
                frame.size.height);
  return text;
}

struct Color {
  double red = 0, green = 0, blue = 0, alpha = 1;
  static Color redColor() { return Color{1, 0, 0, 1}; }
  static Color controlTextColor() { return Color{0, 0, 0, 1}; }
  bool operator==(const Color&) const = default;
};

}  // namespace cw::ui
