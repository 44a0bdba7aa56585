#include "app/infopages.h"

#include "app/formfonts.h"
#include "app/links.h"
#include "ui_descriptiontab.h"
#include "ui_promopanel.h"

#include <QBitmap>
#include <QDesktopServices>
#include <QFile>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QUrl>
#include <stdexcept>

// Q_INIT_RESOURCE must be used outside any namespace.
static void registerInfoPagesResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(registered);
}

namespace app {

void initInfoPagesResources() { registerInfoPagesResources(); }

QPixmap keyedPicture(const QString &path)
{
    const QImage image(path);
    if (image.isNull())
        return {};
    QPixmap picture = QPixmap::fromImage(image);
    const QRgb key = image.pixel(0, image.height() - 1);
    picture.setMask(QBitmap::fromImage(image.createMaskFromColor(key, Qt::MaskInColor)));
    return picture;
}

QString siteUrl() { return QString::fromUtf8(links::kSiteUrl); }
QString exercisesUrl() { return QString::fromUtf8(links::kExercisesUrl); }

void RightPictureButton::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);

    // The style draws face and focus frame from an option without caption or picture; the
    // caption and the picture are placed here, since styles put a picture left of the text.
    QStyleOptionButton face = option;
    face.text.clear();
    face.icon = QIcon();
    painter.drawControl(QStyle::CE_PushButton, face);

    QRect content = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
    if (isDown() || isChecked())
        content.translate(style()->pixelMetric(QStyle::PM_ButtonShiftHorizontal, &option, this),
                          style()->pixelMetric(QStyle::PM_ButtonShiftVertical, &option, this));

    const QPixmap picture =
        icon().pixmap(iconSize(), devicePixelRatio(), isEnabled() ? QIcon::Normal : QIcon::Disabled);
    const QSize pictureSize = picture.isNull() ? QSize() : picture.deviceIndependentSize().toSize();
    const int textWidth = fontMetrics().horizontalAdvance(text());
    const int gap = (picture.isNull() || text().isEmpty()) ? 0 : kPictureGap;
    const int left = content.x() + (content.width() - textWidth - gap - pictureSize.width()) / 2;

    const QRect textRect(left, content.y(), textWidth, content.height());
    style()->drawItemText(&painter, textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic, palette(),
                          isEnabled(), text(), QPalette::ButtonText);
    if (!picture.isNull()) {
        const QPoint at(textRect.right() + 1 + gap, content.y() + (content.height() - pictureSize.height()) / 2);
        painter.drawPixmap(at, picture);
    }
}

InfoPages::InfoPages(vintra::HandlerRunner runner, QObject *parent) : QObject(parent), runner_(std::move(runner)) {}

void InfoPages::setupOn(QWidget *sTabSheet2, QFrame *sPanel11)
{
    registerInfoPagesResources();

    // The page and the panel keep the size their holders gave them; the forms only add children.
    const QSize pageSize = sTabSheet2->size();
    Ui::DescriptionTab descriptionTab;
    descriptionTab.setupUi(sTabSheet2);
    sTabSheet2->resize(pageSize);
    const QSize panelSize = sPanel11->size();
    Ui::PromoPanel promoPanel;
    promoPanel.setupUi(sPanel11);
    sPanel11->resize(panelSize);
    applyPixelFonts(sTabSheet2);
    applyPixelFonts(sPanel11);

    Memo2 = descriptionTab.Memo2;
    BitBtn2 = descriptionTab.BitBtn2;
    sLabel11 = promoPanel.sLabel11;
    sLabel12 = promoPanel.sLabel12;
    Label3 = promoPanel.Label3;
    BitBtn1 = promoPanel.BitBtn1;

    QFile text(QStringLiteral(":/text/description.txt"));
    if (!text.open(QIODevice::ReadOnly))
        throw std::runtime_error("The description text is missing from the program's resources");
    QString description = QString::fromUtf8(text.readAll());
    while (description.endsWith(QLatin1Char('\n')))
        description.chop(1);
    Memo2->setWordWrapMode(QTextOption::WordWrap);
    Memo2->setPlainText(description);

    Label3->setText(siteUrl());
    BitBtn1->setIcon(QIcon(keyedPicture(QStringLiteral(":/images/arrow.png"))));

    connect(BitBtn1, &QPushButton::clicked, this, [this] { run([this] { BitBtn1Click(); }); });
    connect(BitBtn2, &QPushButton::clicked, this, [this] { run([this] { BitBtn2Click(); }); });
    Label3->installEventFilter(this);
}

void InfoPages::BitBtn1Click() { QDesktopServices::openUrl(QUrl(siteUrl())); }

void InfoPages::BitBtn2Click() { QDesktopServices::openUrl(QUrl(exercisesUrl())); }

bool InfoPages::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != Label3)
        return QObject::eventFilter(watched, event);
    // The whole strip of the label is the link, not just its text: a left press and a release
    // inside the strip make a click.
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton)
            return false;
        label3Pressed_ = true;
        return true;
    }
    case QEvent::MouseButtonRelease: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton || !label3Pressed_)
            return false;
        label3Pressed_ = false;
        if (Label3->rect().contains(mouse->position().toPoint()))
            run([this] { BitBtn1Click(); });
        return true;
    }
    default: return false;
    }
}

void InfoPages::run(const std::function<void()> &handler) { runner_(handler); }

} // namespace app
