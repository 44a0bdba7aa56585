#pragma once

// The program's own look: fonts, style, palette and tooltip timing, the same on every desktop.

class QApplication;

namespace app {

// Tooltips appear after the pointer has rested this long and stay up this long.
inline constexpr int kToolTipDelayMs = 500;
inline constexpr int kToolTipDurationMs = 2500;

// Debian's fonts-wine puts its Tahoma here, a folder fontconfig does not index.
inline constexpr char kTahomaFile[] = "/usr/share/wine/fonts/tahoma.ttf";

// Registers Tahoma from `tahomaFile` when it is there; elsewhere the regular texts fall back to
// DejaVu Sans Condensed (app/formfonts.h).
void loadBundledFonts(const char *tahomaFile = kTahomaFile);

// Fusion with our palette, panel frames, real bold faces, tooltip timing and the window font.
// Tests pass another Tahoma file (or none) to see the window without it.
void applyAppearance(QApplication &app, const char *tahomaFile = kTahomaFile);

} // namespace app
