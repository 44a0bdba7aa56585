#include "app/errorpath.h"

#include "app/sessionlog.h"

#include <QApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWindow>

namespace app {

namespace {
ErrorSink &testSink()
{
    static ErrorSink sink;
    return sink;
}

QPointer<QWidget> &boxOwner()
{
    static QPointer<QWidget> owner;
    return owner;
}

bool &ownerGone()
{
    static bool gone = false;
    return gone;
}

// The window the box is shown for. QApplication::activeWindow() is no choice: it is null
// whenever another program is active, and a box transient for nothing may open beneath the
// window it blocks (an always-on-top one above all), modal and out of sight.
QWidget *boxParent()
{
    QWidget *owner = boxOwner();
    // A modal dialog of ours already stands above the owner (another error box, the file
    // dialog); the box goes above that one, or it would hide under it.
    if (QWidget *modal = QApplication::activeModalWidget(); modal && modal->isVisible()) {
        if (!owner)
            return modal;
        for (QWidget *up = modal; up; up = up->parentWidget()) {
            if (up == owner->window())
                return modal;
        }
    }
    if (owner)
        return owner->window();
    return QApplication::activeWindow();
}

// A box opened while its window is minimised would either stand alone on the desktop or be
// mapped unseen with the window; it waits for the window to come back instead. Events and
// timers go on meanwhile, as they do under the box.
void waitUntilRestored(const QPointer<QWidget> &window)
{
    if (!window || !window->isMinimized() || !window->isVisible())
        return;
    QEventLoop loop;
    QTimer poll;
    // A look every 50 ms costs nothing and also ends the wait if the window is hidden or gone.
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!window || !window->isMinimized() || !window->isVisible())
            loop.quit();
    });
    poll.start(50);
    loop.exec();
}
} // namespace

QString applicationTitle(const QString &executablePath)
{
    QString name = QFileInfo(executablePath).fileName();
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    if (dot >= 0)
        name.truncate(dot);
    if (name.size() > 1)
        name = name.left(1) + name.mid(1).toLower();
    return name;
}

QString errorBoxText(const QString &message)
{
    if (!message.isEmpty() && message.back().unicode() > u'.')
        return message + QLatin1Char('.');
    return message;
}

QString exceptionMessage(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

void showErrorBox(const QString &message)
{
    const QString text = errorBoxText(message);
    if (ownerGone()) {
        qCWarning(lcSession).noquote() << "after the window closed:" << text;
        return;
    }
    if (testSink()) {
        testSink()(text);
        return;
    }
    QPointer<QWidget> parent = boxParent();
    waitUntilRestored(parent);
    if (!parent)
        parent = boxParent();
    QMessageBox box(QMessageBox::Critical, applicationTitle(QCoreApplication::applicationFilePath()), text,
                    QMessageBox::Ok, parent);
    // A window in the always-on-top band stays above every normal one, its transients included
    // under some window managers; the box joins its band so it stays above it.
    if (parent && parent->window()->windowFlags().testFlag(Qt::WindowStaysOnTopHint))
        box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    // Before its first showing (a failure while it is created) the window has no place yet; it
    // will stand centred on the desktop, so the box does, not over where the window is not.
    if (parent && !parent->window()->isVisible()) {
        QRect desktop;
        for (const QScreen *screen : QGuiApplication::screens())
            desktop |= screen->geometry();
        box.adjustSize();
        box.move(desktop.center() - QPoint(box.width() / 2, box.height() / 2));
    }
    box.exec();
}

void setErrorBoxOwner(QWidget *owner)
{
    boxOwner() = owner;
    ownerGone() = false;
}

void errorBoxOwnerGone() { ownerGone() = true; }

void showErrorBoxLater(const QString &message)
{
    QMetaObject::invokeMethod(
        qApp, [message] { showErrorBox(message); }, Qt::QueuedConnection);
}

bool runHandler(const std::function<void()> &handlerBody)
{
    try {
        handlerBody();
        return true;
    } catch (...) {
        showErrorBox(exceptionMessage(std::current_exception()));
        return false;
    }
}

void setErrorSinkForTests(ErrorSink sink) { testSink() = std::move(sink); }

} // namespace app
