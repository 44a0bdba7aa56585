#pragma once

// Forms keep their fonts as pixel heights, which Designer's font property cannot hold (it knows
// points only): a widget carries a "fontPixelSize" property and, for bold text, "fontBold".

class QWidget;

namespace app {

// Every font of the program is this family; without it the system's sans-serif stands in.
inline constexpr char kFontFamily[] = "Tahoma";

// Gives each widget under `form` that carries "fontPixelSize" its own complete font, so it
// neither inherits a size nor a weight from its parent.
void applyPixelFonts(QWidget *form);

} // namespace app
