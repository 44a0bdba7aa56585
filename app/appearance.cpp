#include "app/appearance.h"
#include "app/formfonts.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QFontDatabase>
#include <QHelpEvent>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QToolTip>
#include <QWidget>

namespace app {

namespace {

class VintraStyle : public QProxyStyle {
public:
    VintraStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_ToolTip_WakeUpDelay)
            return kToolTipDelayMs;
        if (hint == SH_ToolTip_FallAsleepDelay)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// Shows every tooltip for a fixed time instead of Qt's length-dependent one.
class ToolTipTimer : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::ToolTip || !watched->isWidgetType())
            return false;
        auto *widget = static_cast<QWidget *>(watched);
        if (widget->toolTip().isEmpty())
            return false;
        auto *help = static_cast<QHelpEvent *>(event);
        QToolTip::showText(help->globalPos(), widget->toolTip(), widget, widget->rect(), kToolTipDurationMs);
        return true;
    }
};

QPalette vintraPalette()
{
    // Cool light greys with a deep blue accent; the phase lights bring the colour.
    QPalette p;
    const QColor window(0xE9, 0xEC, 0xF0);
    const QColor base(0xFF, 0xFF, 0xFF);
    const QColor text(0x1F, 0x24, 0x2B);
    const QColor button(0xDD, 0xE2, 0xE8);
    const QColor accent(0x2B, 0x5C, 0x9E);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Highlight, accent);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(0xFF, 0xFB, 0xE6));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Link, QColor(0, 0, 255));
    p.setColor(QPalette::Light, QColor(0xFF, 0xFF, 0xFF));
    p.setColor(QPalette::Midlight, QColor(0xF4, 0xF6, 0xF8));
    p.setColor(QPalette::Mid, QColor(0xB8, 0xC0, 0xCA));
    p.setColor(QPalette::Dark, QColor(0x8C, 0x96, 0xA3));
    p.setColor(QPalette::Shadow, QColor(0x5A, 0x62, 0x6D));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x8C, 0x96, 0xA3));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x8C, 0x96, 0xA3));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x8C, 0x96, 0xA3));
    return p;
}

} // namespace

void loadBundledFonts()
{
    // The regular face only. The bold file of that package draws strokes hardly heavier than
    // the regular ones (it is mostly wider), so bold captions would not read as bold; the
    // weight Qt synthesises from the regular face does.
    const QString regular = QStringLiteral("/usr/share/wine/fonts/tahoma.ttf");
    if (QFile::exists(regular))
        QFontDatabase::addApplicationFont(regular);
}

void applyAppearance(QApplication &app)
{
    loadBundledFonts();
    app.setStyle(new VintraStyle);
    app.setPalette(vintraPalette());
    QFont font(QString::fromLatin1(kFontFamily));
    font.setPixelSize(13);
    app.setFont(font);
    app.installEventFilter(new ToolTipTimer(&app));
}

} // namespace app
