#include "app/formfonts.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QVariant>
#include <QWidget>

namespace app {

QFont layoutFont(int pixels, bool bold)
{
    QFont font;
    if (bold)
        font.setFamilies({QString::fromLatin1(kBoldFamily)});
    else
        font.setFamilies({QString::fromLatin1(kFontFamily), QString::fromLatin1(kFallbackFamily)});
    font.setBold(bold);
    font.setPixelSize(pixels);
    return font;
}

QFont withRealBold(const QFont &font)
{
    if (font.weight() < QFont::DemiBold || font.family() != QLatin1String(kFontFamily))
        return font;
    QFont bold = font;
    bold.setFamilies({QString::fromLatin1(kBoldFamily)});
    return bold;
}

namespace {

// Narrows `widget`'s font until `texts` fit `room` pixels. The layout's rectangles are tight
// around its texts; FreeType's advances, a scaled screen or the fallback face may make a text a
// pixel or three wider, and a cut letter reads worse than a slightly narrower one.
void fitToRoom(QWidget *widget, const QStringList &texts, int room)
{
    QFont font = widget->font();
    auto widest = [&] {
        const QFontMetrics metrics(font, widget);
        int width = 0;
        for (const QString &text : texts)
            width = std::max(width, metrics.horizontalAdvance(text));
        return width;
    };
    // Stretches count from the normal width; the fallback face is semi-condensed (87) already,
    // so for it the steps down to 87 widen and only those below narrow.
    for (int stretch = 98; stretch >= 70 && widest() > room; stretch -= 2)
        font.setStretch(stretch);
    if (font != widget->font())
        widget->setFont(font);
}

void fitText(QWidget *widget)
{
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        if (!label->wordWrap() && !label->text().isEmpty() && label->textFormat() != Qt::RichText)
            fitToRoom(label, {label->text()}, label->contentsRect().width());
    } else if (auto *field = qobject_cast<QComboBox *>(widget); field && field->isEditable()) {
        QStyleOptionComboBox option;
        option.initFrom(field);
        option.editable = true;
        QStringList texts{field->currentText()};
        for (int i = 0; i < field->count(); ++i)
            texts << field->itemText(i);
        // QLineEdit keeps 2 px free on either side of its text.
        const int room =
            field->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, field).width() -
            4;
        fitToRoom(field, texts, room);
    }
}

} // namespace

void fitTexts(QWidget *form)
{
    const auto widgets = form->findChildren<QWidget *>();
    for (QWidget *widget : widgets)
        fitText(widget);
}

void applyPixelFonts(QWidget *form)
{
    const auto widgets = form->findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        const QVariant pixels = widget->property("fontPixelSize");
        if (!pixels.isValid())
            continue;
        widget->setFont(layoutFont(pixels.toInt(), widget->property("fontBold").toBool()));
    }
}

} // namespace app
