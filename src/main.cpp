#include "app/frmmdimain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // The preview's web engine shares its graphics context with the widgets.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    frmMDIMain main;
    main.show();
    return app.exec();
}
