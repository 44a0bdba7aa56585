#include "app/appearance.h"
#include "app/mainwindow.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    app::applyAppearance(application);

    TForm1 window;
    window.showFirstTime();
    application.exec();
    // The command line is ignored and the program always ends with 0.
    return 0;
}
