// The window as it is drawn, measured on a grab of the real window: bold figures and captions,
// the panels' four edges and texts that fit their rectangles. CTest runs this at several screen
// scales and once with the Tahoma face withheld (tests/app/CMakeLists.txt).

#include "app/formfonts.h"
#include "windowtestutil.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyleOption>
#include <QTabWidget>
#include <QTest>
#include <QWindow>

#include <algorithm>
#include <cmath>

namespace {

// Darker than this on the light pages is ink; the texts are near black (or the link's blue).
constexpr int kInk = 128;

bool isInk(QRgb pixel) { return qGray(pixel) < kInk; }

// Lengths of the runs of ink along one row between x0 and x1 (device pixels).
QList<int> inkRuns(const QImage &image, int y, int x0, int x1)
{
    QList<int> runs;
    int run = 0;
    for (int x = std::max(0, x0); x < std::min(image.width(), x1); ++x) {
        if (isInk(image.pixel(x, y))) {
            ++run;
        } else if (run) {
            runs << run;
            run = 0;
        }
    }
    if (run)
        runs << run;
    return runs;
}

// The smallest rectangle holding all ink inside `area`.
QRect inkBounds(const QImage &image, const QRect &area)
{
    QRect bounds;
    const QRect inside = area & image.rect();
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            if (isInk(image.pixel(x, y)))
                bounds |= QRect(x, y, 1, 1);
    return bounds;
}

// The median width of the strokes a text's rows cross: how heavy the text looks.
double strokeWeight(const QImage &image, const QRect &area)
{
    const QRect ink = inkBounds(image, area);
    QList<int> runs;
    for (int y = ink.top(); y <= ink.bottom(); ++y)
        runs << inkRuns(image, y, ink.left(), ink.right() + 1);
    if (runs.isEmpty())
        return 0;
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

} // namespace

class TestAppearance : public QObject {
    Q_OBJECT

    std::unique_ptr<TForm1> window;
    bool withoutTahoma = false;
    qreal scale = 1;
    QImage shot;

    QWidget *w(const char *name) { return child(window.get(), name); }

    // A widget's rectangle in the grab's device pixels.
    QRectF deviceRect(QWidget *widget, QRect logical = {})
    {
        if (logical.isNull())
            logical = widget->rect();
        const QPoint at = widget->mapTo(window.get(), logical.topLeft());
        return QRectF(at.x() * scale, at.y() * scale, logical.width() * scale, logical.height() * scale);
    }

    // The part of a widget that shows: its rectangle cut by every parent's.
    QRect visibleRect(QWidget *widget)
    {
        QRect visible = widget->rect();
        for (QWidget *up = widget; up->parentWidget() && up != window.get(); up = up->parentWidget()) {
            visible.translate(up->pos());
            visible &= up->parentWidget()->rect();
        }
        for (QWidget *up = widget; up->parentWidget() && up != window.get(); up = up->parentWidget())
            visible.translate(-up->pos());
        return visible;
    }

    void grabWindow()
    {
        QCoreApplication::processEvents();
        window->repaint();
        shot = window->screen()->grabWindow(window->winId()).toImage();
        if (shot.size() != (QSizeF(window->size()) * scale).toSize())
            shot = window->grab().toImage();
        shot = shot.convertToFormat(QImage::Format_RGB32);
        const QString dir = qEnvironmentVariable("VINTRA_GRAB_DIR");
        if (!dir.isEmpty())
            shot.save(
                QDir(dir).filePath(QStringLiteral("%1-%2.png").arg(withoutTahoma ? "fallback" : "tahoma").arg(scale)));
    }

    // The left stem of the first figure of a display, in device pixels.
    int firstStem(QWidget *display)
    {
        const QRect ink = inkBounds(shot, deviceRect(display).toAlignedRect());
        if (ink.isEmpty())
            return 0;
        const QList<int> runs = inkRuns(shot, ink.center().y(), ink.left(), ink.right() + 1);
        return runs.isEmpty() ? 0 : runs.first();
    }

private slots:
    void initTestCase()
    {
        withoutTahoma = qEnvironmentVariableIsSet("VINTRA_TEST_WITHOUT_TAHOMA");
        // scripts/install-packages.sh installs fonts-wine wherever the release has it; the next
        // Debian release has none, and there the notahoma variants check the layout users get.
        if (!withoutTahoma && !QFileInfo::exists(QString::fromLocal8Bit(app::kTahomaFile)))
            QSKIP("no Tahoma: this release has no fonts-wine (the notahoma variants cover its fallback)");
        app::applyAppearance(*qApp, withoutTahoma ? nullptr : app::kTahomaFile);
        window = std::make_unique<TForm1>(fakeChannels());
        window->showFirstTime();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        scale = window->devicePixelRatio();
        grabWindow();
        QCOMPARE(shot.size(), (QSizeF(736, 568) * scale).toSize());
    }
    void cleanupTestCase() { window.reset(); }

    // The face the texts get: Tahoma for the regular ones when it is there, a real bold face
    // for bold ones, whatever the scale.
    void facesInUse()
    {
        const bool haveTahoma = QFontInfo(w("sLabel4")->font()).family() == QLatin1String("Tahoma");
        QCOMPARE(haveTahoma, !withoutTahoma);
        for (const char *name :
             {"Label1", "sPanel4", "sPanel5", "sBitBtn1", "sBitBtn2", "sLabel11", "Label3", "sLabel13", "sLabel14"}) {
            const QFontInfo info(w(name)->font());
            QVERIFY2(info.bold(), name);
            QVERIFY2(info.family() == QLatin1String(app::kBoldFamily), name);
            QVERIFY2(info.styleName().contains(QLatin1String("Bold")), name);
        }
    }

    void bigFiguresHaveBoldStems()
    {
        window->showTime(QStringLiteral("00:08"));
        grabWindow();
        for (const char *name : {"Label1", "sPanel4", "sPanel5"}) {
            const int stem = firstStem(w(name));
            qInfo("%s: stem %d px at %.2fx", name, stem, scale);
            QVERIFY2(stem >= std::floor(14 * scale), name);
            QVERIFY2(stem <= std::ceil(19 * scale), name);
        }
        window->showTime(QStringLiteral("04:10"));
    }

    void boldCaptionsAreHeavierThanRegularTexts()
    {
        grabWindow();
        // Pairs of the same pixel height: bold, regular.
        const struct {
            const char *bold, *regular;
        } pairs[] = {{"sBitBtn1", "sLabel2"}, {"sLabel11", "sLabel4"}, {"Label3", "sLabel12"}};
        for (const auto &pair : pairs) {
            const double bold = strokeWeight(shot, deviceRect(w(pair.bold)).toAlignedRect());
            const double regular = strokeWeight(shot, deviceRect(w(pair.regular)).toAlignedRect());
            qInfo("%s %.1f px against %s %.1f px at %.2fx", pair.bold, bold, pair.regular, regular, scale);
            QVERIFY2(regular > 0 && bold >= regular * 1.4, pair.bold);
        }
    }

    void everyPanelShowsFourEdges()
    {
        grabWindow();
        const int band = std::max(1, int(std::ceil(scale)));
        // sPanel3 is the idle display: its edge keeps the figures from floating while no light is on.
        for (const char *name : {"sPanel1", "sPanel2", "sPanel3", "sPanel4", "sPanel5", "sPanel6", "sPanel7", "sPanel8",
                                 "sPanel9", "sPanel10", "sPanel11"}) {
            const QRectF device = deviceRect(w(name));
            const int left = int(std::ceil(device.left() - 0.01)), top = int(std::ceil(device.top() - 0.01));
            const int right = int(std::floor(device.right() + 0.01)) - 1;
            const int bottom = int(std::floor(device.bottom() + 0.01)) - 1;
            // Does a line darker than the page run along the edge, within `band` pixels of it?
            auto edgeShows = [&](bool horizontal, int at, int inward) {
                const int from = horizontal ? left : top, to = horizontal ? right : bottom;
                const int margin = (to - from) / 10;
                int missing = 0;
                for (int along = from + margin; along <= to - margin; ++along) {
                    bool found = false;
                    for (int d = 0; d < band && !found; ++d) {
                        const int across = at + d * inward;
                        const QRgb pixel = horizontal ? shot.pixel(along, across) : shot.pixel(across, along);
                        found = qGray(pixel) < 215;
                    }
                    missing += !found;
                }
                return missing == 0;
            };
            QVERIFY2(edgeShows(true, top, 1), qPrintable(QStringLiteral("%1 top").arg(name)));
            QVERIFY2(edgeShows(true, bottom, -1), qPrintable(QStringLiteral("%1 bottom").arg(name)));
            QVERIFY2(edgeShows(false, left, 1), qPrintable(QStringLiteral("%1 left").arg(name)));
            QVERIFY2(edgeShows(false, right, -1), qPrintable(QStringLiteral("%1 right").arg(name)));
        }
    }

    // A light covers the display's edge with its own black outline and exact colour.
    void lightsStayExact()
    {
        QWidget *green = w("green");
        green->show();
        grabWindow();
        const QRect device = deviceRect(green).toAlignedRect();
        const QPoint inner = device.topLeft() + QPoint(device.width() / 10, device.height() / 10);
        QCOMPARE(QColor(shot.pixel(inner)), QColor(128, 255, 0));
        const QPoint corner = device.topLeft() + QPoint(int(std::ceil(scale)) / 2, int(std::ceil(scale)) / 2);
        QCOMPARE(QColor(shot.pixel(corner)), QColor(Qt::black));
        green->hide();
    }

    // Every text fits the rectangle it is shown in, by the window's own font metrics.
    void textsFitTheirRectangles()
    {
        QStringList cut;
        auto check = [&](bool fits, const QString &what) {
            if (!fits)
                cut << what;
        };
        auto *pages = child<QTabWidget>(window.get(), "sPageControl1");
        for (int page = 0; page < pages->count(); ++page) {
            pages->setCurrentIndex(page);
            QCoreApplication::processEvents();
            for (QLabel *label : pages->widget(page)->findChildren<QLabel *>()) {
                if (label->text().isEmpty() || label->wordWrap() || label->textFormat() == Qt::RichText)
                    continue;
                const QFontMetrics metrics = label->fontMetrics();
                const QRect text = QStyle::alignedRect(
                    Qt::LeftToRight, label->alignment(),
                    QSize(metrics.horizontalAdvance(label->text()), metrics.height()), label->contentsRect());
                check(visibleRect(label).contains(text),
                      qPrintable(QStringLiteral("%1 \"%2\": text %3 wide in %4, %5 high in %6")
                                     .arg(label->objectName(), label->text())
                                     .arg(text.width())
                                     .arg(visibleRect(label).width())
                                     .arg(text.height())
                                     .arg(visibleRect(label).height())));
            }
            for (QCheckBox *box : pages->widget(page)->findChildren<QCheckBox *>()) {
                QStyleOptionButton option;
                option.initFrom(box);
                option.text = box->text();
                const QRect room = box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
                check(box->fontMetrics().horizontalAdvance(box->text()) <= room.width(), qPrintable(box->text()));
            }
            for (QPushButton *button : pages->widget(page)->findChildren<QPushButton *>()) {
                if (button->text().size() < 2)
                    continue;
                check(button->fontMetrics().horizontalAdvance(button->text()) + button->iconSize().width() <=
                          button->width() - 8,
                      qPrintable(button->text()));
            }
            for (QComboBox *field : pages->widget(page)->findChildren<QComboBox *>()) {
                QLineEdit *editor = field->lineEdit();
                // QLineEdit keeps 2 px of room on each side of its text.
                const int room = editor->contentsRect().width() - 4;
                for (int i = 0; i < field->count(); ++i)
                    check(editor->fontMetrics().horizontalAdvance(field->itemText(i)) <= room,
                          qPrintable(field->objectName() + " " + field->itemText(i)));
            }
        }
        for (QLabel *label : w("sPanel11")->findChildren<QLabel *>()) {
            const QFontMetrics metrics = label->fontMetrics();
            check(metrics.horizontalAdvance(label->text()) <= label->width(), qPrintable(label->text()));
            check(metrics.height() <= label->height() + 1, qPrintable(label->text()));
        }
        pages->setCurrentIndex(0);
        QStringList narrowed;
        for (QWidget *widget : window->findChildren<QWidget *>())
            if (widget->font().stretch() != QFont::AnyStretch && widget->font().stretch() != QFont::Unstretched &&
                !widget->objectName().isEmpty() && !widget->objectName().startsWith(QLatin1String("qt_")))
                narrowed << QStringLiteral("%1 %2 %").arg(widget->objectName()).arg(widget->font().stretch());
        qInfo("narrowed to fit: %s", qPrintable(narrowed.join(QStringLiteral(", "))));
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral("; "))));
    }

    // The same seen on the grab: no text's ink touches the edge of the rectangle that shows it,
    // which is where a clipped glyph ends.
    void noTextIsCutOnTheGrab()
    {
        grabWindow();
        QList<QWidget *> texts;
        for (QLabel *label : child(window.get(), "sTabSheet1")->findChildren<QLabel *>())
            if (!label->text().isEmpty() && label->isVisible())
                texts << label;
        for (const char *name : {"podg_m", "podg_s", "rabota_m", "rabota_s", "otdih_m", "otdih_s", "round", "cycle"})
            texts << child<QComboBox>(window.get(), name)->lineEdit();
        for (QLabel *label : w("sPanel11")->findChildren<QLabel *>())
            texts << label;
        QStringList cut;
        for (QWidget *text : texts) {
            if (text->objectName() == QLatin1String("sPanel4") || text->objectName() == QLatin1String("sPanel5"))
                continue; // their frames are dark lines at their edges
            const QRect device = deviceRect(text, visibleRect(text)).toAlignedRect() & shot.rect();
            const QRect ink = inkBounds(shot, device);
            if (ink.isEmpty()) {
                cut << text->objectName() + QStringLiteral(": no ink");
                continue;
            }
            const QString what = text->objectName().isEmpty() ? text->parentWidget()->objectName() : text->objectName();
            // Left-aligned texts start at their left edge by design; only a centred one needs room there.
            const auto *label = qobject_cast<QLabel *>(text);
            const bool fromLeft = label && (label->alignment() & Qt::AlignLeft);
            if ((!fromLeft && ink.left() <= device.left()) || ink.right() >= device.right())
                cut << QStringLiteral("%1: ink %2..%3 in %4..%5")
                           .arg(what)
                           .arg(ink.left())
                           .arg(ink.right())
                           .arg(device.left())
                           .arg(device.right());
        }
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral("; "))));
    }
};

QTEST_MAIN(TestAppearance)
#include "tst_appearance.moc"
