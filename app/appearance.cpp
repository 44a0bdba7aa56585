#include "app/appearance.h"
#include "app/formfonts.h"

#include <QApplication>
#include <QAbstractScrollArea>
#include <QEvent>
#include <QFile>
#include <QFrame>
#include <QFontDatabase>
#include <QHelpEvent>
#include <QPainter>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>
#include <QToolTip>
#include <QWidget>

#include <cmath>

namespace app {

namespace {

// The line round every panel, on the light grey of the pages.
const QColor kPanelEdge(0xB4, 0xB6, 0xB9);

// A panel's outline on whole device pixels. A one-pixel line drawn with a pen falls between
// device pixels on a screen scaled by 1.25 or 1.5 and may land outside the panel's clip, so
// the top and left lines vanish; four filled strips inside the panel's device rectangle cannot.
void drawPanelEdge(QPainter *painter, const QRect &rect)
{
    const QTransform toDevice = painter->deviceTransform();
    bool invertible = false;
    const QTransform toLogical = toDevice.inverted(&invertible);
    if (!invertible || toDevice.isRotating()) {
        painter->save();
        painter->setPen(kPanelEdge);
        painter->drawRect(rect.adjusted(0, 0, -1, -1));
        painter->restore();
        return;
    }
    const QRectF device = toDevice.mapRect(QRectF(rect));
    // The whole device pixels the panel covers.
    const int left = int(std::ceil(device.left() - 0.01));
    const int top = int(std::ceil(device.top() - 0.01));
    const int right = int(std::floor(device.right() + 0.01));
    const int bottom = int(std::floor(device.bottom() + 0.01));
    if (right <= left || bottom <= top)
        return;
    // As thick as one layout pixel, rounded to whole device pixels.
    const int line = std::max(1, int(std::lround(std::abs(toDevice.m11()))));
    const QRect strips[] = {{left, top, right - left, line},
                            {left, bottom - line, right - left, line},
                            {left, top, line, bottom - top},
                            {right - line, top, line, bottom - top}};
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);
    for (const QRect &strip : strips)
        painter->fillRect(toLogical.mapRect(QRectF(strip)), kPanelEdge);
    painter->restore();
}

// The layout's panels: plain framed areas, not the frames of text views or lists.
bool isPanel(const QWidget *widget)
{
    const auto *frame = qobject_cast<const QFrame *>(widget);
    return frame && !qobject_cast<const QAbstractScrollArea *>(widget) && frame->frameShape() == QFrame::StyledPanel;
}

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

    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget) const override
    {
        if (element == PE_Frame && isPanel(widget)) {
            drawPanelEdge(painter, option->rect);
            return;
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }

    // The layout's drop-down fields are 39 px wide; Fusion's 19 px arrow button would leave their
    // two-digit texts 12 px, so the arrow is narrower and the text gets the rest.
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex *option, SubControl sub,
                         const QWidget *widget) const override
    {
        if (control == CC_ComboBox && (sub == SC_ComboBoxArrow || sub == SC_ComboBoxEditField)) {
            const QRect r = option->rect;
            constexpr int arrow = 14, frame = 2;
            const QRect rect =
                sub == SC_ComboBoxArrow
                    ? QRect(r.right() - arrow + 1, r.top() - 2, arrow, r.height() + 4)
                    : QRect(r.left() + frame, r.top() + frame, r.width() - arrow - 2 * frame, r.height() - 2 * frame);
            return visualRect(option->direction, r, rect);
        }
        return QProxyStyle::subControlRect(control, option, sub, widget);
    }

    // Text the layout sets in bold gets a real bold face, whatever the widget and however its
    // font was given.
    void polish(QWidget *widget) override
    {
        QProxyStyle::polish(widget);
        const QFont font = widget->font();
        const QFont bold = withRealBold(font);
        if (bold != font)
            widget->setFont(bold);
    }
    using QProxyStyle::polish;
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

void loadBundledFonts(const char *tahomaFile)
{
    // The regular face only: the bold file of that package draws the regular stems, so bold
    // text takes a real bold face of its own (app/formfonts.h).
    const QString regular = QString::fromLocal8Bit(tahomaFile ? tahomaFile : "");
    if (!regular.isEmpty() && QFile::exists(regular))
        QFontDatabase::addApplicationFont(regular);
}

void applyAppearance(QApplication &app, const char *tahomaFile)
{
    loadBundledFonts(tahomaFile);
    app.setStyle(new VintraStyle);
    app.setPalette(vintraPalette());
    app.setFont(layoutFont(13, false));
    app.installEventFilter(new ToolTipTimer(&app));
}

} // namespace app
