#include "document/previewguard.h"
#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <memory>

namespace {
// url: "{root}" stands for the test's folder, as it appears in a file: URL.
struct GuardCase {
    QString url;
    bool allowed;
};
// path: "{root}" stands for the test's folder; folder: the expected folder below it, or "-" for none.
struct FolderCase {
    QString path;
    QString folder;
};
} // namespace
Q_DECLARE_METATYPE(GuardCase)
Q_DECLARE_METATYPE(FolderCase)

class TstPreviewGuard : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_root; // canonical

    void write(const QString &name)
    {
        QDir().mkpath(QFileInfo(m_root + '/' + name).path());
        QFile f(m_root + '/' + name);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("x");
    }
    QString expand(QString text) const { return text.replace("{root}", m_root); }

private slots:
    void initTestCase()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_root = QFileInfo(m_dir->path()).canonicalFilePath();
        for (const char *name : {"style/style.xsl", "style/pic.png", "style/sub/deep.css", "data/src.xml",
                                 "data/my file.png", "data/caf\u00e9.png", "outside/secret.txt", "stylex/evil.txt",
                                 "page.xml", "other-page.xml"})
            write(QString::fromUtf8(name));
        QVERIFY(QFile::link(m_root + "/outside/secret.txt", m_root + "/style/link-out"));
        QVERIFY(QFile::link(m_root + "/outside", m_root + "/style/dirlink"));
        QVERIFY(QFile::link(m_root + "/style", m_root + "/linked-style"));
    }
    void cleanupTestCase() { m_dir.reset(); }

    void allows_data()
    {
        QTest::addColumn<GuardCase>("c");
        QTest::addRow("stylesheet folder") << GuardCase{"file://{root}/style/pic.png", true};
        QTest::addRow("below the stylesheet folder") << GuardCase{"file://{root}/style/sub/deep.css", true};
        QTest::addRow("source folder, encoded space") << GuardCase{"file://{root}/data/my%20file.png", true};
        QTest::addRow("source folder, encoded accent") << GuardCase{"file://{root}/data/caf%C3%A9.png", true};
        QTest::addRow("localhost") << GuardCase{"file://localhost{root}/style/pic.png", true};
        QTest::addRow(".. staying inside") << GuardCase{"file://{root}/style/sub/../pic.png", true};
        QTest::addRow("the page itself") << GuardCase{"file://{root}/page.xml", true};
        QTest::addRow("another page beside it") << GuardCase{"file://{root}/other-page.xml", false};
        QTest::addRow("outside") << GuardCase{"file://{root}/outside/secret.txt", false};
        QTest::addRow("system file") << GuardCase{"file:///etc/passwd", false};
        QTest::addRow("the folder's listing") << GuardCase{"file://{root}/style/", false};
        QTest::addRow("folder whose name starts alike") << GuardCase{"file://{root}/stylex/evil.txt", false};
        QTest::addRow(".. escape") << GuardCase{"file://{root}/style/../outside/secret.txt", false};
        QTest::addRow("encoded .. escape") << GuardCase{"file://{root}/style/%2e%2e/outside/secret.txt", false};
        QTest::addRow("encoded slash escape") << GuardCase{"file://{root}/style/..%2Foutside%2Fsecret.txt", false};
        QTest::addRow("link to a file outside") << GuardCase{"file://{root}/style/link-out", false};
        QTest::addRow("link to a folder outside") << GuardCase{"file://{root}/style/dirlink/secret.txt", false};
        QTest::addRow("missing file") << GuardCase{"file://{root}/style/missing.png", false};
        QTest::addRow("encoded null") << GuardCase{"file://{root}/style/pic.png%00.txt", false};
        QTest::addRow("other computer") << GuardCase{"file://fileserver{root}/style/pic.png", false};
        QTest::addRow("http") << GuardCase{"http://127.0.0.1:8080/style/pic.png", false};
        QTest::addRow("https") << GuardCase{"https://example.com/x", false};
        QTest::addRow("ftp") << GuardCase{"ftp://example.com/x", false};
        QTest::addRow("websocket") << GuardCase{"ws://127.0.0.1:8080/", false};
        QTest::addRow("secure websocket") << GuardCase{"wss://example.com/", false};
        QTest::addRow("file system api") << GuardCase{"filesystem:file:///temporary/x", false};
        QTest::addRow("mail link") << GuardCase{"mailto:someone@example.com?body=secret", false};
        QTest::addRow("scheme of another program") << GuardCase{"someapp://send?data=secret", false};
        QTest::addRow("data") << GuardCase{"data:image/png;base64,iVBORw0KGgo=", true};
        QTest::addRow("blob") << GuardCase{"blob:null/2f4f6a8e-1d1b-4a4e-9c3e-0a4b5c6d7e8f", true};
        QTest::addRow("program pictures") << GuardCase{"qrc:/icons/new.svg", true};
        QTest::addRow("blank page") << GuardCase{"about:blank", true};
        QTest::addRow("other about page") << GuardCase{"about:gpu", false};
    }
    void allows()
    {
        QFETCH(GuardCase, c);
        const QStringList folders{PreviewGuard::folderOf(m_root + "/style/style.xsl"),
                                  PreviewGuard::folderOf(m_root + "/data/src.xml")};
        const QUrl url(expand(c.url));
        QVERIFY2(url.isValid(), qPrintable(url.errorString()));
        QCOMPARE(PreviewGuard::allows(url, folders, m_root + "/page.xml"), c.allowed);
    }

    void folderOf_data()
    {
        QTest::addColumn<FolderCase>("c");
        QTest::addRow("file") << FolderCase{"{root}/style/style.xsl", "/style"};
        QTest::addRow("through a linked folder") << FolderCase{"{root}/linked-style/style.xsl", "/style"};
        QTest::addRow("with ..") << FolderCase{"{root}/data/../style/style.xsl", "/style"};
        QTest::addRow("from the web") << FolderCase{"http://127.0.0.1:8080/style.xsl", "-"};
        QTest::addRow("file address") << FolderCase{"file://{root}/style/style.xsl", "-"};
        QTest::addRow("typed into the window") << FolderCase{"", "-"};
        QTest::addRow("folder gone") << FolderCase{"{root}/gone/style.xsl", "-"};
    }
    void folderOf()
    {
        QFETCH(FolderCase, c);
        QCOMPARE(PreviewGuard::folderOf(expand(c.path)), c.folder == "-" ? QString() : m_root + c.folder);
    }

    void setScope_keepsEachFolderOnceAndOnlyLocalOnes()
    {
        PreviewGuard guard;
        guard.setScope({m_root + "/style/style.xsl", m_root + "/linked-style/x.xml", "https://example.com/s.xml", ""},
                       m_root + "/page.xml");
        QCOMPARE(guard.folders(), QStringList{m_root + "/style"});
        guard.setScope({"", m_root + "/data/src.xml"}, m_root + "/page.xml");
        QCOMPARE(guard.folders(), QStringList{m_root + "/data"});
    }
};

ZENDRIK_TEST_MAIN(TstPreviewGuard)
#include "tst_previewguard.moc"
