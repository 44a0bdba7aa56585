#pragma once

// The program's own look: fonts, style, palette and tooltip timing, the same on every desktop.

class QApplication;

namespace app {

// Tooltips appear after the pointer has rested this long and stay up this long.
inline constexpr int kToolTipDelayMs = 500;
inline constexpr int kToolTipDurationMs = 2500;

// Registers Tahoma from Debian's fonts-wine when it is there (fontconfig does not index that
// folder); elsewhere the family falls back to the system's sans-serif font.
void loadBundledFonts();

// Fusion with our palette, tooltip timing and the window font.
void applyAppearance(QApplication &app);

} // namespace app
