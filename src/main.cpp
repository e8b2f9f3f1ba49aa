#include "app/commandline.h"
#include "app/frmmdimain.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

namespace {

QString version()
{
    return QStringLiteral("%1.%2.%3").arg(ZENDRIK_VERSION_MAJOR).arg(ZENDRIK_VERSION_MINOR).arg(ZENDRIK_VERSION_PATCH);
}

int print(const CommandLine &cl)
{
    std::fputs(cl.output.toLocal8Bit().constData(), cl.toError ? stderr : stdout);
    return cl.exitCode;
}

} // namespace

int main(int argc, char *argv[])
{
    // Help and the version need no display: answered before the window system is asked for.
    QStringList raw;
    for (int i = 1; i < argc; ++i)
        raw << QString::fromLocal8Bit(argv[i]);
    if (asksOnlyToPrint(raw))
        return print(readCommandLine(raw, version()));

    // The preview's web engine shares its graphics context with the widgets.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    // What is left once the toolkit took its own options (-platform, -style, ...).
    const CommandLine cl = readCommandLine(QCoreApplication::arguments().mid(1), version());
    if (!cl.output.isEmpty())
        return print(cl);
    frmMDIMain main;
    main.show();
    // Once the window is up: work kept from a program that did not close its windows is
    // offered, the windows open at the last close reopen if the user wants that, and then the
    // files the command line names open.
    QTimer::singleShot(0, &main, [&main, files = cl.files] {
        main.restoreUnsavedWork();
        main.reopenWindows();
        main.openSources(files);
    });
    return app.exec();
}
