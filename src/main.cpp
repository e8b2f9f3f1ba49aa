#include "app/frmmdimain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    frmMDIMain main;
    main.show();
    return app.exec();
}
