#pragma once

// What a screen reader says for the controls whose text changes while the program runs. The
// visible texts stay as they are; these names only make them read well on their own.

#include <QString>

class QWidget;

namespace app {

// A value read with its caption: "Раунды: 08", "Тренировка: 04:10".
QString captionedName(const QString &caption, const QString &value);

// A caption spelled out letter by letter for the eye ("С Т А Р Т !") is read as the word it
// spells ("Старт"); any other caption is read as it stands.
QString spokenCaption(const QString &caption);

// Qt's bridge to AT-SPI names an editable combo box after its value, and its editor takes the
// focus: the editor of every editable combo box under root gets the box's accessible name.
void nameComboEditors(QWidget *root);

// Qt presents a top-level plain widget as a nameless-role filler, which screen readers do not
// take for a window; the window given here reads as a frame with its title. Call before anything
// asks for the window's accessible interface.
void readAsFrame(QWidget *window);

} // namespace app
