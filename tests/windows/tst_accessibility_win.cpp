// What UI Automation gets from the real window on Windows. Qt 6 speaks to Windows screen readers
// only through its UI Automation bridge (the windows platform plugin), which reads Qt's accessible
// interfaces as they stand: an element's name is the interface's Name text, its control type
// follows the role, and a focus change is raised for the focused control's focus child when it
// has children (an editable combo box's editor, a tab bar's current tab). So the window is
// activated as a UI Automation client activates it, Tab is walked over the three tabs, and every
// stop is checked as the bridge would present it: the control and the element the focus event
// names, each with its Russian name and role. Nothing focusable on a tab may be unnamed.

#include "windowtestutil.h"

#include <QAccessible>
#include <QDir>
#include <QPointer>
#include <QScopeGuard>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

namespace {

using Role = QAccessible::Role;

// The object id of a UI Automation client's request for a window's root element (UiaRootObjectId
// in uiautomationcoreapi.h).
constexpr LPARAM kUiaRootObjectId = -25;

// One Tab stop: the focused control's role and name, and the role of the element UI Automation
// is told has the focus (its name must be the same).
struct Stop {
    Role role;
    QString name;
    Role focusRole;
};

QString roleName(Role role)
{
    switch (role) {
    case QAccessible::PageTabList: return QStringLiteral("tab list");
    case QAccessible::PageTab: return QStringLiteral("tab");
    case QAccessible::Button: return QStringLiteral("button");
    case QAccessible::CheckBox: return QStringLiteral("check box");
    case QAccessible::ComboBox: return QStringLiteral("combo box");
    case QAccessible::EditableText: return QStringLiteral("edit");
    default: return QStringLiteral("role 0x%1").arg(int(role), 0, 16);
    }
}

QString describe(const Stop &stop)
{
    return QStringLiteral("%1 \"%2\" (focus event: %3)").arg(roleName(stop.role), stop.name, roleName(stop.focusRole));
}

// A failure message as UTF-8, which the test log passes on as it stands (qPrintable would give the
// ANSI code page's bytes).
QByteArray utf8(const QString &text) { return text.toUtf8(); }

Stop plain(Role role, const QString &name) { return {role, name, role}; }

const QString kTitle = QStringLiteral("Интервальный таймер Винтра Зелк - 1.51");
const QString kPromo = QStringLiteral("Подробнее о калькуляторе калорий Зелк");

// The controls in keyboard order after each tab's tab row, as a listener meets them.
QList<Stop> timerStops()
{
    QList<Stop> stops{plain(QAccessible::Button, QStringLiteral("Старт"))};
    for (const char *field : {"Подготовка, минуты", "Подготовка, секунды", "Работа, минуты", "Работа, секунды",
                              "Отдых, минуты", "Отдых, секунды", "Раунды", "Циклы"})
        stops << Stop{QAccessible::ComboBox, QString::fromUtf8(field), QAccessible::EditableText};
    for (const char *option : {"Поверх окон", "Звуки", "Музыка"})
        stops << plain(QAccessible::CheckBox, QString::fromUtf8(option));
    return stops << plain(QAccessible::Button, kPromo);
}

QList<Stop> descriptionStops()
{
    return {plain(QAccessible::EditableText, QStringLiteral("Описание тренировки Винтра")),
            plain(QAccessible::Button, QStringLiteral("Упражнения")), plain(QAccessible::Button, kPromo)};
}

QList<Stop> settingsStops()
{
    QList<Stop> stops;
    for (const char *cue :
         {"Over (конец сессии)", "Rest (отдых)", "Start (начинаем сессию)", "Tick (за 3 секунды до следующей фазы)",
          "Work (фаза работы)", "Music (музыка на заднем плане если включена галочка, mp3)"})
        stops << plain(QAccessible::EditableText, QStringLiteral("Файл: ") + QString::fromUtf8(cue));
    // The Work pair comes before the Tick pair, although the Tick row stands above.
    for (const char *cue : {"Over", "Rest", "Start", "Work", "Tick", "Music"}) {
        stops << plain(QAccessible::Button, QStringLiteral("Прослушать: ") + QString::fromUtf8(cue))
              << plain(QAccessible::Button, QStringLiteral("Выбрать файл: ") + QString::fromUtf8(cue));
    }
    return stops << plain(QAccessible::Button, kPromo);
}

// The objects Qt told of a focus change, in order. Qt's update handler is a plain function; while
// it is installed the platform's bridge hears nothing, which loses nothing here: no UI Automation
// client listens for events under the test.
QList<QPointer<QObject>> *focusEvents = nullptr;

void recordFocus(QAccessibleEvent *event)
{
    if (event->type() == QAccessible::Focus && focusEvents)
        focusEvents->append(event->object());
}

// The element the bridge raises the focus event for: a control with children stands for its
// focus child (qwindowsuiamainprovider.cpp, notifyFocusChange).
QAccessibleInterface *focusElement(QObject *focused)
{
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(focused);
    if (iface && iface->childCount() > 0) {
        if (QAccessibleInterface *child = iface->focusChild())
            return child;
    }
    return iface;
}

// Every control shown under root that takes the focus but has no name, by class and object name.
void collectUnnamed(QAccessibleInterface *iface, QStringList &unnamed)
{
    for (int i = 0; i < iface->childCount(); ++i) {
        QAccessibleInterface *child = iface->child(i);
        if (!child || child->state().invisible)
            continue;
        if (child->state().focusable && child->text(QAccessible::Name).trimmed().isEmpty()) {
            QObject *object = child->object();
            unnamed << (object ? QStringLiteral("%1 %2").arg(QString::fromLatin1(object->metaObject()->className()),
                                                             object->objectName())
                               : QStringLiteral("role %1").arg(int(child->role())));
        }
        collectUnnamed(child, unnamed);
    }
}

} // namespace

class TestAccessibilityWin : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void everyTabStopNamedForUiAutomation();

private:
    // The settings the window reads and writes, away from the prefix's own.
    QTemporaryDir m_appData;
};

void TestAccessibilityWin::initTestCase()
{
    QVERIFY(m_appData.isValid());
    qputenv("APPDATA", QDir::toNativeSeparators(m_appData.path()).toLocal8Bit());
    app::applyAppearance(*qApp);
}

void TestAccessibilityWin::everyTabStopNamedForUiAutomation()
{
    TForm1 window(fakeChannels());
    window.showFirstTime();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // A UI Automation client's first request to a window; Qt's bridge turns accessibility on as it
    // answers it.
    SendMessageW(reinterpret_cast<HWND>(window.winId()), WM_GETOBJECT, 0, kUiaRootObjectId);
    QVERIFY(QAccessible::isActive());

    QAccessibleInterface *root = QAccessible::queryAccessibleInterface(&window);
    QVERIFY(root);
    QCOMPARE(root->role(), QAccessible::Window);
    QCOMPARE(root->text(QAccessible::Name), kTitle);
    // A panel is a group of controls to UI Automation, not a pane a reader could take for a window.
    QCOMPARE(QAccessible::queryAccessibleInterface(child(&window, "sPanel1"))->role(), QAccessible::Grouping);

    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto *tabBar = window.findChild<QTabBar *>();
    QVERIFY(tabBar);

    QList<QPointer<QObject>> events;
    focusEvents = &events;
    QAccessible::installUpdateHandler(recordFocus);
    const auto restore = qScopeGuard([] {
        QAccessible::installUpdateHandler(nullptr);
        focusEvents = nullptr;
    });

    // Each press of Tab must tell of a focus change; what the last telling names is the stop.
    const auto press = [&](Qt::Key key) -> QObject * {
        events.clear();
        QTest::keyClick(QApplication::focusWidget(), key);
        return events.isEmpty() ? nullptr : events.constLast().data();
    };
    const auto stopAt = [](QObject *focused) {
        QAccessibleInterface *control = QAccessible::queryAccessibleInterface(focused);
        QAccessibleInterface *element = focusElement(focused);
        if (!control || !element)
            return Stop{QAccessible::NoRole, QStringLiteral("<no interface>"), QAccessible::NoRole};
        const QString name = control->text(QAccessible::Name);
        const QString elementName = element->text(QAccessible::Name);
        // The name the focus event carries differs from the control's: say both.
        return Stop{control->role(), name == elementName ? name : name + QStringLiteral(" / ") + elementName,
                    element->role()};
    };

    const QStringList tabs{QStringLiteral("Таймер"), QStringLiteral("Описание"), QStringLiteral("Настройки")};
    const QList<QList<Stop>> expected{timerStops(), descriptionStops(), settingsStops()};
    for (int tab = 0; tab < tabs.size(); ++tab) {
        tabBar->setFocus(Qt::TabFocusReason);
        if (tab > 0) {
            QObject *focused = press(Qt::Key_Right);
            QCOMPARE(focused, tabBar);
        }
        QCOMPARE(tabBar->currentIndex(), tab);
        QStringList unnamed;
        collectUnnamed(root, unnamed);
        QVERIFY2(unnamed.isEmpty(), utf8(tabs[tab] + QStringLiteral(": unnamed: ") + unnamed.join(", ")).constData());

        // The tab row reads as the tab it shows; the focus event names that tab.
        const Stop row{QAccessible::PageTabList, tabs[tab], QAccessible::PageTab};
        QCOMPARE(describe(stopAt(tabBar)), describe(row));

        QList<Stop> visited;
        for (int i = 0; i <= expected[tab].size(); ++i) {
            QObject *focused = press(Qt::Key_Tab);
            QVERIFY2(focused,
                     utf8(QStringLiteral("Tab %1 on %2 told of no focus").arg(i + 1).arg(tabs[tab])).constData());
            QCOMPARE(focused, QApplication::focusWidget());
            visited << stopAt(focused);
        }
        // The first stop that differs (Qt Test cuts a long message short).
        const QList<Stop> want = expected[tab] + QList<Stop>{row};
        for (int i = 0; i < want.size(); ++i) {
            QVERIFY2(describe(visited[i]) == describe(want[i]),
                     utf8(QStringLiteral("Tab %1 on %2 reaches %3, not %4")
                              .arg(i + 1)
                              .arg(tabs[tab], describe(visited[i]), describe(want[i])))
                         .constData());
        }
    }

    // The hints are the descriptions UI Automation reads as the full description and help text.
    QVERIFY(QAccessible::queryAccessibleInterface(child(&window, "sCheckBox2"))
                ->text(QAccessible::Description)
                .startsWith(QStringLiteral("По умолчанию музыка")));
    QCOMPARE(QAccessible::queryAccessibleInterface(child(&window, "sBitBtn4"))->text(QAccessible::Description),
             QStringLiteral("Воспроизвести"));
    window.closeForSessionEnd();
}

QTEST_MAIN(TestAccessibilityWin)
#include "tst_accessibility_win.moc"
