#include "app/appearance.h"
#include "app/desktopsession.h"
#include "app/inhibitor.h"
#include "app/mainwindow.h"
#include "sound/audiooutput.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

int main(int argc, char **argv)
{
    // Decided before the application object exists: it loads the platform as it is constructed.
    app::choosePlatform();
    QApplication application(argc, argv);
    app::forgetPlatformChoice();
    // Lets the desktop match the window to the menu entry (<id>.desktop; on Wayland this is
    // the window's app id).
    QGuiApplication::setDesktopFileName(QStringLiteral(VINTRA_APP_ID));
    app::applyAppearance(application);
    // The interface is Russian, so Qt's own dialogs and context menus speak Russian too.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Russian), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        application.installTranslator(&qtTexts);

    // Declared before the window, so every channel is gone before the output closes.
    sound::AudioOutput audio;
    TForm1 window([&audio] { return audio.createChannel(); });
    app::closeOnTermination(window);
    window.showFirstTime();
    application.exec();
    // A release sent as the window closed still reaches the desktop.
    window.inhibitor().settle(1000);
    // The command line is ignored and the program always ends with 0.
    return 0;
}
