#include "app/frmmdimain.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    // The preview's web engine shares its graphics context with the widgets.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    frmMDIMain main;
    main.show();
    // Work kept from a program that did not close its windows is offered once the window is up.
    QTimer::singleShot(0, &main, &frmMDIMain::restoreUnsavedWork);
    return app.exec();
}
