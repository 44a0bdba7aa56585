#include "app/appearance.h"
#include "app/desktopsession.h"
#include "app/inhibitor.h"
#include "app/mainwindow.h"
#include "app/startupmarks.h"
#include "sound/audiooutput.h"

#include <QAccessible>
#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

int main(int argc, char **argv)
{
    // Our own reports (the vintra.* logging categories) are one line each, "vintra: <text>", as
    // they have always read in a terminal or the journal; Qt's default would put the category
    // name in front. Qt's own lines get the same prefix, which tells whose they are.
    // QT_MESSAGE_PATTERN still overrides this.
    qSetMessagePattern(QStringLiteral("vintra: %{message}"));
    app::markStartup("main");
    // Before anything asks the session bus: Qt's accessibility bridge does as the application
    // and its window are built, the sound output as it starts. A working bus answers in a few
    // milliseconds; the bound is paid only when it does not answer at all, and a false "no
    // answer" would cut a screen reader off for the whole run, so it is a full second.
    app::avoidHungSessionBus(std::chrono::milliseconds(1000));
    app::markStartup("bus probed");
    // Decided before the application object exists: it loads the platform as it is constructed.
    app::choosePlatform();
    QApplication application(argc, argv);
    app::forgetPlatformChoice();
    app::markStartup("application");
    // Qt's accessibility bridge starts when the first control asks for it, as the window is
    // built; a profile starts it here, to tell its cost from the window's.
    if (lcStartup().isDebugEnabled()) {
        QAccessible::isActive();
        app::markStartup("accessibility bridge");
    }
    // Lets the desktop match the window to the menu entry (<id>.desktop; on Wayland this is
    // the window's app id).
    QGuiApplication::setDesktopFileName(QStringLiteral(VINTRA_APP_ID));
    app::applyAppearance(application);
    app::markStartup("appearance");
    // The interface is Russian, so Qt's own dialogs and context menus speak Russian too.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Russian), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        application.installTranslator(&qtTexts);
    app::markStartup("translations");

    // Declared before the window, so every channel is gone before the output closes. It reaches
    // for the sound server once the window has first painted (below): starting the audio
    // libraries and opening the first device costs tens of milliseconds of CPU, which on a
    // machine of two busy cores the window's first picture would otherwise share. A channel
    // opened or played before then connects at once.
    sound::AudioOutput audio(512, sound::AudioOutput::kDefaultCloseAfterIdleMs, sound::AudioOutput::Connect::Later);
    app::markStartup("sound output");
    TForm1 window([&audio](sound::Stream stream) { return audio.createChannel(stream); });
    // The session's end (and the terminal's: Ctrl+C, a closed terminal) does not go through the
    // Close button: a failed save would keep the program in a modal box until it is killed. The settings are saved if they can
    // be, a failure becomes one line on stderr and a non-zero status, and the program ends.
    app::onTermination(window, {[&window] { return window.saveForSessionEnd(); },
                                [&window](const QString &failure) {
                                    window.leaveForSessionEnd();
                                    if (!failure.isEmpty())
                                        app::writeToStandardError(
                                            QStringLiteral("vintra: the settings were not saved: ") + failure);
                                    QCoreApplication::exit(failure.isEmpty() ? 0 : 1);
                                }});
    app::markStartup("window built");
    window.showFirstTime();
    app::markStartup("shown");
    app::afterFirstPaint(window, [&audio] {
        app::markStartup("first paint");
        audio.connect();
    });
    const int status = application.exec();
    // A release sent as the window closed still reaches the desktop.
    window.inhibitor().settle(1000);
    // The command line is ignored. The status is 0, unless a termination request found the
    // settings impossible to save.
    return status;
}
