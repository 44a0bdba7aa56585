#include "app/accessiblenames.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QEvent>
#include <QHash>
#include <QKeySequence>
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

void setSpokenName(QWidget *widget, const QString &name)
{
    if (widget->accessibleName() != name)
        widget->setAccessibleName(name);
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
constexpr char kReadWhole[] = "vintraReadWhole";

// A label read as one leaf, by its name. A reader's review of the screen takes a label's children
// when it has some, and the label itself only when it offers text; Qt's labels offer none, so a
// counter was reviewed as its caption alone ("Раунды").
class WholeLabelAccessible : public QAccessibleWidget {
public:
    explicit WholeLabelAccessible(QWidget *label) : QAccessibleWidget(label, QAccessible::StaticText) {}

    int childCount() const override { return 0; }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
};

class FocusFirst : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Qt tells of the focus itself once the widget has handled the event (and selected its
        // text); a second telling of the same focus is nothing new to a reader.
        if (event->type() == QEvent::FocusIn && QAccessible::isActive()) {
            QAccessibleEvent focus(watched, QAccessible::Focus);
            QAccessible::updateAccessibility(&focus);
        }
        return false;
    }
};

// A combo box as Qt's own interface presents it (role, children: the list and, when editable, the
// editor; the value; the actions that open the list), but named by its accessible name on every
// platform. Qt's interface names the box after its value on Linux; its class is private to Qt.
class ComboBoxAccessible : public QAccessibleWidget
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    ,
                           public QAccessibleAttributesInterface
#endif
{
public:
    explicit ComboBoxAccessible(QComboBox *box) : QAccessibleWidget(box, QAccessible::ComboBox) {}

#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    // A reader looks for a combo box's value in its "valuetext" attribute first. Without it,
    // Orca 48 looks for an editor that says it holds a single line, which Qt's does not say,
    // then for a selected item in the list, and at last takes the box's name: a plan field was
    // heard as "Раунды editable combo box Раунды", its value never said.
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::AttributesInterface)
            return static_cast<QAccessibleAttributesInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QList<QAccessible::Attribute> attributeKeys() const override { return {QAccessible::Attribute::Custom}; }

    QVariant attributeValue(QAccessible::Attribute key) const override
    {
        if (key != QAccessible::Attribute::Custom)
            return {};
        return QVariant::fromValue(QHash<QString, QString>{{QStringLiteral("valuetext"), value()}});
    }
#endif

    int childCount() const override { return box()->isEditable() ? 2 : 1; }

    QAccessibleInterface *child(int index) const override
    {
        if (index == 0)
            return QAccessible::queryAccessibleInterface(box()->view());
        if (index == 1 && box()->isEditable())
            return QAccessible::queryAccessibleInterface(box()->lineEdit());
        return nullptr;
    }

    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (child->object() == box()->view())
            return 0;
        if (box()->isEditable() && child->object() == box()->lineEdit())
            return 1;
        return -1;
    }

    QAccessibleInterface *childAt(int x, int y) const override
    {
        QLineEdit *editor = box()->lineEdit();
        if (editor && editor->rect().contains(editor->mapFromGlobal(QPoint(x, y))))
            return child(1);
        return nullptr;
    }

    // The editor never has the focus itself (the box is its focus proxy), but it is what a reader
    // edits.
    QAccessibleInterface *focusChild() const override { return box()->isEditable() ? child(1) : nullptr; }

    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Name:
            if (!box()->accessibleName().isEmpty())
                return box()->accessibleName();
            return value();
        case QAccessible::Value: return value();
        case QAccessible::Accelerator: return QKeySequence(Qt::Key_Down).toString(QKeySequence::NativeText);
        default: return QAccessibleWidget::text(t);
        }
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.editable = box()->isEditable();
        return s;
    }

    QStringList actionNames() const override { return {showMenuAction(), pressAction()}; }

    QString localizedActionDescription(const QString &action) const override
    {
        if (action == showMenuAction() || action == pressAction())
            return QComboBox::tr("Open the combo box selection popup");
        return {};
    }

    void doAction(const QString &action) override
    {
        if (action != showMenuAction() && action != pressAction())
            return;
        if (box()->view()->isVisible())
            box()->hidePopup();
        else
            box()->showPopup();
    }

    QStringList keyBindingsForAction(const QString &) const override { return {}; }

private:
    QComboBox *box() const { return static_cast<QComboBox *>(widget()); }
    QString value() const { return box()->isEditable() ? box()->lineEdit()->text() : box()->currentText(); }
};

QAccessibleInterface *accessibleFactory(const QString &className, QObject *object)
{
    auto *widget = qobject_cast<QWidget *>(object);
    if (!widget)
        return nullptr;
    if (widget->isWindow() && widget->property(kReadAsFrame).toBool())
        return new QAccessibleWidget(widget, QAccessible::Window);
    if (className == QLatin1String("QLabel") && widget->property(kReadWhole).toBool())
        return new WholeLabelAccessible(widget);
    // Qt asks once per class, from the most derived one up.
    if (className == QLatin1String("QComboBox"))
        return new ComboBoxAccessible(static_cast<QComboBox *>(widget));
    // Qt presents a QFrame as a "frame", the role of a window: a screen reader then takes the
    // panel around the focused control for the window, and its flat review of "the window" never
    // reaches the display and the counters beside it. Our frames are panels that group controls.
    if (className == QLatin1String("QFrame") && !widget->isWindow())
        return new QAccessibleWidget(widget, QAccessible::Grouping);
    return nullptr;
}

} // namespace

void announceFocusFirst(QWidget *root)
{
    auto *filter = new FocusFirst(root);
    for (QLineEdit *edit : root->findChildren<QLineEdit *>()) {
        // An editable combo box's editor never takes the focus itself: the box does.
        if (!qobject_cast<QComboBox *>(edit->parentWidget()))
            edit->installEventFilter(filter);
    }
    for (QComboBox *box : root->findChildren<QComboBox *>())
        box->installEventFilter(filter);
}

void installAccessibleInterfaces()
{
    static const bool installed = [] {
        QAccessible::installFactory(accessibleFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

void readWhole(QWidget *label)
{
    label->setProperty(kReadWhole, true);
    installAccessibleInterfaces();
    // A label tells readers of each new text, and so has Qt's interface already once a reader
    // is listening as the window is built; dropped, it is made anew by our factory.
    QAccessibleInterface *made = QAccessible::queryAccessibleInterface(label);
    if (made && !dynamic_cast<WholeLabelAccessible *>(made))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
}

void readAsFrame(QWidget *window)
{
    window->setProperty(kReadAsFrame, true);
    installAccessibleInterfaces();
}

} // namespace app
