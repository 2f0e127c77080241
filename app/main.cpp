#include <QApplication>

#include "app/mainwindow.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Ulvek");
    QCoreApplication::setApplicationName("Neurask");
    QCoreApplication::setApplicationVersion("0.4");
    MainWindow window;
    window.show();
    return app.exec();
}
