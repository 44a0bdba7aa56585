#pragma once

// Forms keep their fonts as pixel heights, which Designer's font property cannot hold (it knows
// points only): a widget carries a "fontPixelSize" property and, for bold text, "fontBold".

#include <QFont>

class QWidget;

namespace app {

// Every regular text of the program is this family.
inline constexpr char kFontFamily[] = "Tahoma";
// Where Tahoma is missing: the same humanist, narrow build, so the layout's texts still fit.
inline constexpr char kFallbackFamily[] = "DejaVu Sans Condensed";
// Bold text. Windows has Tahoma Bold, a real bold. The Tahoma that Debian carries has none (its
// bold file only draws wider glyphs with the regular stems), and the weight Qt synthesises is lost
// on large and on scaled text. DejaVu Sans Condensed Bold is a real, hinted bold of the same
// design family: figures as wide as Tahoma Bold's within 2 %, stems of 15-16 px at 96 px.
#ifdef Q_OS_WIN
inline constexpr char kBoldFamily[] = "Tahoma";
#else
inline constexpr char kBoldFamily[] = "DejaVu Sans Condensed";
#endif

// The font the layout means by a pixel height and a weight.
QFont layoutFont(int pixels, bool bold);

// `font` with the bold family in place of Tahoma when it asks for bold; otherwise unchanged.
QFont withRealBold(const QFont &font);

// Narrows the font of each fixed-size label and drop-down field under `form` whose text would
// not fit its rectangle with the font it has (another face, another rasteriser, a scaled screen).
void fitTexts(QWidget *form);

// Gives each widget under `form` that carries "fontPixelSize" its own complete font, so it
// neither inherits a size nor a weight from its parent.
void applyPixelFonts(QWidget *form);

} // namespace app
