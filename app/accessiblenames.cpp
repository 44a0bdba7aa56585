#include "app/accessiblenames.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QLineEdit>
#include <QStringList>
#include <algorithm>

namespace app {

QString captionedName(const QString &caption, const QString &value)
{
    return caption.trimmed() + QStringLiteral(": ") + value.trimmed();
}

QString spokenCaption(const QString &caption)
{
    QStringList parts = caption.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    // A trailing "!" that stands apart is emphasis for the eye, not a word.
    while (!parts.isEmpty() && parts.constLast().size() == 1 && !parts.constLast().at(0).isLetterOrNumber())
        parts.removeLast();
    const bool spelled =
        parts.size() > 1 && std::all_of(parts.cbegin(), parts.cend(), [](const QString &p) { return p.size() == 1; });
    if (!spelled)
        return caption.trimmed();
    // Spelled out in capitals for the eye; a screen reader would spell a capitalised word too.
    const QString word = parts.join(QString());
    return word.left(1).toUpper() + word.mid(1).toLower();
}

void nameComboEditors(QWidget *root)
{
    for (QComboBox *box : root->findChildren<QComboBox *>()) {
        if (box->isEditable() && !box->accessibleName().isEmpty())
            box->lineEdit()->setAccessibleName(box->accessibleName());
    }
}

namespace {

constexpr char kReadAsFrame[] = "vintraReadAsFrame";

QAccessibleInterface *frameFactory(const QString &, QObject *object)
{
    auto *widget = qobject_cast<QWidget *>(object);
    if (!widget || !widget->isWindow() || !widget->property(kReadAsFrame).toBool())
        return nullptr;
    return new QAccessibleWidget(widget, QAccessible::Window);
}

} // namespace

void readAsFrame(QWidget *window)
{
    window->setProperty(kReadAsFrame, true);
    static const bool installed = [] {
        QAccessible::installFactory(frameFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace app
