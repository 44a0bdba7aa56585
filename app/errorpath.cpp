#include "app/errorpath.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>

namespace app {

namespace {
ErrorSink &testSink()
{
    static ErrorSink sink;
    return sink;
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
    if (testSink()) {
        testSink()(text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, applicationTitle(QCoreApplication::applicationFilePath()), text,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

void showErrorBoxLater(const QString &message)
{
    QMetaObject::invokeMethod(qApp, [message] { showErrorBox(message); }, Qt::QueuedConnection);
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

void setErrorSinkForTests(ErrorSink sink)
{
    testSink() = std::move(sink);
}

} // namespace app
