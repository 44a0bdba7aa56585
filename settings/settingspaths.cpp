#include "settings/settingspaths.h"

#include <QStandardPaths>
#include <QtGlobal>

namespace settings {

namespace {
#ifdef Q_OS_WIN
constexpr QLatin1StringView kSeparator("\\");
#else
constexpr QLatin1StringView kSeparator("/");
#endif
} // namespace

QString ExpandEnvPath(const QString &text)
{
    QString out;
    out.reserve(text.size());
    qsizetype i = 0;
    while (i < text.size()) {
        if (text[i] != u'%') {
            out += text[i++];
            continue;
        }
        const qsizetype close = text.indexOf(u'%', i + 1);
        if (close > i + 1) {
            const QString name = text.sliced(i + 1, close - i - 1);
            if (qEnvironmentVariableIsSet(name.toLocal8Bit().constData())) {
                out += qEnvironmentVariable(name.toLocal8Bit().constData());
                i = close + 1;
                continue;
            }
        }
        // Not a reference to a set variable: keep the "%" and look again from the next character.
        out += u'%';
        ++i;
    }
    return out;
}

QString appDataDir()
{
#ifdef Q_OS_WIN
    return ExpandEnvPath(QStringLiteral("%AppData%")) + kSeparator;
#else
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    // With no home at all the folder is left relative, i.e. under the working folder.
    return config.isEmpty() ? QString() : config + kSeparator;
#endif
}

QString settingsFolder(const QString &appdataDir)
{
    return appdataDir + QStringLiteral("zelk-soft") + kSeparator + QStringLiteral("vintra") + kSeparator;
}

QString settingsFilePath(const QString &appdataDir) { return settingsFolder(appdataDir) + QStringLiteral("timer.ini"); }

} // namespace settings
