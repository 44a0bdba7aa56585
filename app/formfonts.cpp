#include "app/formfonts.h"

#include <QFont>
#include <QVariant>
#include <QWidget>

namespace app {

void applyPixelFonts(QWidget *form)
{
    const auto widgets = form->findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        const QVariant pixels = widget->property("fontPixelSize");
        if (!pixels.isValid())
            continue;
        QFont font(QString::fromLatin1(kFontFamily));
        font.setPixelSize(pixels.toInt());
        font.setBold(widget->property("fontBold").toBool());
        widget->setFont(font);
    }
}

} // namespace app
