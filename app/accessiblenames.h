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

// Gives widget the accessible name when it differs from the one it has. Qt sends a name change to
// every screen reader for each setAccessibleName, even of the name the widget already has; the
// texts that follow the workout are set every second, and most of them stay as they are.
void setSpokenName(QWidget *widget, const QString &name);

// Qt's bridge to AT-SPI names a combo box after its value and expects a label to say what it is;
// a screen reader announces the box as it gets the focus, so each plan field would be heard as a
// bare number. From this call on, every combo box is presented by our own interface, which reads
// as Qt's but is named by the box's accessible name; and a plain QFrame inside a window reads as
// a panel, not as a frame (the role of a window, which would make a screen reader take the panel
// around the focus for the whole window). Qt picks a control's interface when it is
// first asked for: call before the controls are built (readAsFrame calls it too).
void installAccessibleInterfaces();

// The editor of every editable combo box under root carries the box's accessible name, for a
// reader that looks at the editor rather than at the box.
void nameComboEditors(QWidget *root);

// A line edit or editable combo box selects its text as it takes the focus from the keyboard, and
// Qt tells screen readers of the selection before it tells them of the focus. Orca then takes the
// selection for the focus and ignores the focus that follows: the field is heard as "<text>
// selected" without its name. For every line edit and combo box under root, the focus is told
// first.
void announceFocusFirst(QWidget *root);

// Qt presents a top-level plain widget as a nameless-role filler, which screen readers do not
// take for a window; the window given here reads as a frame with its title. Call before anything
// asks for the window's accessible interface.
void readAsFrame(QWidget *window);

// A label whose name already says what the captions drawn inside it show (the counter "Раунды:
// 08" around its caption "Раунды") reads as that name alone: a reader's flat review takes a
// label's children instead of the label, so the counter was reviewed as "Раунды" without its
// number. The captions leave the accessibility tree. Call before the window is shown.
void readWhole(QWidget *label);

} // namespace app
