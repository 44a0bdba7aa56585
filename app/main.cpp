#include "app/appearance.h"
#include "app/mainwindow.h"
#include "sound/audiooutput.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
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
    window.showFirstTime();
    application.exec();
    // The command line is ignored and the program always ends with 0.
    return 0;
}
