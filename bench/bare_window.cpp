// The yardstick for the start-up figures of bench/run.sh: the least a Qt Widgets program does to
// show a window of the same size as ours (an application object and one empty widget).
#include <QApplication>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare_window"));
    window.setFixedSize(736, 568);
    window.show();
    return application.exec();
}
