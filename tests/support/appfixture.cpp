#include "appfixture.h"

#include "app/mainwindow.h"
#include "document/documentwindow.h"
#include "options/settingsstore.h"
#include "testmain.h"

#include <QtTest>
#include <QtWidgets>
#include <QWebEnginePage>
#include <QWebEngineView>

namespace fixture {

static QString storeFile()
{
    return testenv::configHome() + QStringLiteral("/Zendrik/Zendrik.conf");
}

void clearSettings()
{
    QDir(testenv::configHome() + QStringLiteral("/Zendrik")).removeRecursively();
}

void writeSettings(const QString &section, const QList<std::pair<QString, QString>> &values)
{
    QSettings s(storeFile(), QSettings::IniFormat);
    for (const auto &kv : values)
        s.setValue(section + QLatin1Char('/') + kv.first, kv.second);
    s.sync();
}

QString settingsFileText()
{
    QFile f(storeFile());
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

bool settingsFileExists()
{
    return QFile::exists(storeFile());
}

QList<DocumentWindow *> documentWindows(MainWindow *main)
{
    QList<DocumentWindow *> out;
    for (QMdiSubWindow *w : main->mdiArea()->subWindowList(QMdiArea::CreationOrder))
        if (auto *doc = qobject_cast<DocumentWindow *>(w->widget()))
            out << doc;
    return out;
}

DocumentWindow *newDocument(MainWindow *main)
{
    const int before = documentWindows(main).size();
    main->menuItem(QStringLiteral("mnuNew"))->trigger();
    const QList<DocumentWindow *> docs = documentWindows(main);
    return docs.size() == before + 1 ? docs.last() : nullptr;
}

bool Session::start()
{
    clearSettings();
    fake = FakeDialogs::install();
    browser = FakeBrowser::install();
    main = new MainWindow;
    main->resize(900, 700);
    main->show();
    return QTest::qWaitForWindowExposed(main);
}

void Session::stop()
{
    for (DocumentWindow *doc : documentWindows(main))
        doc->setCloseApproved(true);
    delete main;
    main = nullptr;
    FakeBrowser::uninstall();
    FakeDialogs::uninstall();
}

QString pageText(QWebEngineView *view)
{
    QString text;
    bool done = false;
    view->page()->toPlainText([&](const QString &t) {
        text = t;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 10000))
        qWarning("the page text did not arrive");
    return text;
}

} // namespace fixture
