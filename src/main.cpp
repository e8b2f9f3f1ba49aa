#include "app/commandline.h"
#include "app/mainwindow.h"
#include "document/previewguard.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

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
    // The whole command line is read before the window system is asked for anything, so that
    // help, the version and a usage error need no display.
    QStringList raw;
    for (int i = 1; i < argc; ++i)
        raw << QString::fromLocal8Bit(argv[i]);
    const CommandLine cl = readCommandLine(raw, version());
    if (!cl.output.isEmpty())
        return print(cl);

    // The toolkit gets its own options and nothing else: a file named after the options'
    // "--" is not taken for one of them.
    QList<QByteArray> kept{QByteArray(argv[0])};
    for (const QString &option : cl.toolkit)
        kept << option.toLocal8Bit();
    std::vector<char *> toolkitArgv;
    for (QByteArray &a : kept)
        toolkitArgv.push_back(a.data());
    toolkitArgv.push_back(nullptr);
    int toolkitArgc = int(kept.size());

    // The preview's web engine shares its graphics context with the widgets, when there is one.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    std::unique_ptr<QApplication> application;
    PreviewGuard::drawWithoutOpenGL([&] { application = std::make_unique<QApplication>(toolkitArgc, toolkitArgv.data()); });
    QApplication &app = *application;
    MainWindow main;
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
