// Writes that run out of space: on a real full file system where the test may mount one, and
// everywhere through a stand-in for write() that fails with ENOSPC after a set number of bytes.
#include "support/windowparts.h"
#include "common/common.h"
#include "document/documentwindow.h"
#include "options/settingsstore.h"
#include "engine/xmldocument.h"
#include "support/appfixture.h"
#include "support/testmain.h"

#include <QtTest>

#include <atomic>
#include <cerrno>
#include <climits>
#include <sys/syscall.h>
#include <unistd.h>

using testenv::readFile;
using testenv::writeFile;

namespace {

// While armed, writes to files under g_folder stop after g_budget bytes with ENOSPC, as a full
// disk does. Qt's own writes come here too: this definition takes the place of the C library's.
std::atomic<bool> g_armed{false};
std::atomic<long long> g_budget{0};
char g_folder[PATH_MAX];

bool underFolder(int fd)
{
    char link[64];
    char target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = 0;
    const size_t len = strlen(g_folder);
    return strncmp(target, g_folder, len) == 0 && (target[len] == '/' || target[len] == 0);
}

} // namespace

extern "C" ssize_t write(int fd, const void *buf, size_t count)
{
    if (g_armed.load() && underFolder(fd)) {
        const long long left = g_budget.load();
        if (left <= 0) {
            errno = ENOSPC;
            return -1;
        }
        count = std::min<size_t>(count, size_t(left));
        g_budget -= (long long)count;
    }
    return syscall(SYS_write, fd, buf, count);
}

namespace {

class DiskFull
{
public:
    DiskFull(const QString &folder, long long budget)
    {
        const QByteArray f = QFile::encodeName(QDir(folder).canonicalPath());
        qstrncpy(g_folder, f.constData(), sizeof g_folder);
        g_budget = budget;
        g_armed = true;
    }
    ~DiskFull() { g_armed = false; }
};

QByteArray stylesheet(int padding)
{
    return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"><!-- "
           + QByteArray(padding, 'p') + " --><xsl:template match=\"/\"><out/></xsl:template></xsl:stylesheet>";
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

} // namespace

struct SpaceCase {
    int size;
    long long budget;
};
Q_DECLARE_METATYPE(SpaceCase)

class TstFullDisk : public QObject, public fixture::Session
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    // Opens the stylesheet at path in a new window and types into it.
    DocumentWindow *openAndEdit(const QString &path)
    {
        DocumentWindow *doc = fixture::newDocument(main);
        if (!doc->loadXSLTFile(path))
            return nullptr;
        stylesheetPane(doc)->setSelectionStart(0);
        stylesheetPane(doc)->replaceSelection(QStringLiteral("<!-- edited -->"));
        return doc;
    }

    // Saving doc must fail as a full disk fails: the error box, the "*" kept, the old file
    // untouched, nothing left beside it but what was there before.
    void expectFailedSave(DocumentWindow *doc, const QString &path, const QByteArray &old, const QStringList &folder)
    {
        bool cancel = false;
        doc->saveFile(cancel);
        QVERIFY(cancel);
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Error Saving XSLT Document"));
        QVERIFY2(fake->lastMessage().text.contains(QLatin1String("No space left on device")), qPrintable(fake->lastMessage().text));
        QVERIFY(doc->isChanged() && doc->caption().endsWith(QLatin1Char('*')));
        QCOMPARE(readFile(path), old);
        QCOMPARE(entries(QFileInfo(path).absolutePath()), folder);
    }

private slots:
    void init()
    {
        QVERIFY(start());
        m_dir = std::make_unique<QTemporaryDir>();
    }
    void cleanup()
    {
        g_armed = false;
        m_dir.reset();
        stop();
    }

    void save_outOfSpace_data()
    {
        QTest::addColumn<SpaceCase>("c");
        QTest::addRow("small file, no space at all") << SpaceCase{200, 0LL};
        QTest::addRow("large file, space runs out midway") << SpaceCase{3 * 1024 * 1024, 1024LL * 1024};
        QTest::addRow("space for all but the last byte") << SpaceCase{5000, 5000LL};
    }
    void save_outOfSpace()
    {
        QFETCH(SpaceCase, c);
        auto [size, budget] = c;
        const QString path = m_dir->filePath(QStringLiteral("style.xsl"));
        const QByteArray old = stylesheet(size);
        QVERIFY(writeFile(path, old));
        DocumentWindow *doc = openAndEdit(path);
        QVERIFY(doc);
        // The edited text is one comment longer than the file, so a budget of the old size
        // leaves the new file short.
        DiskFull full(m_dir->path(), budget);
        expectFailedSave(doc, path, old, {QStringLiteral("style.xsl")});
    }

    void save_onRealFullFileSystem()
    {
        if (geteuid() != 0)
            QSKIP("mounting a small file system needs root");
        const QString mountPoint = m_dir->filePath(QStringLiteral("tmpfs"));
        QVERIFY(QDir().mkpath(mountPoint));
        if (QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                                        QStringLiteral("size=256k"), QStringLiteral("tmpfs"), mountPoint}) != 0)
            QSKIP("this machine does not allow mounting a file system here");
        struct Unmount {
            QString at;
            ~Unmount() { QProcess::execute(QStringLiteral("umount"), {at}); }
        } unmount{mountPoint};
        const QString path = mountPoint + QStringLiteral("/style.xsl");
        const QByteArray old = stylesheet(300);
        QVERIFY(writeFile(path, old));
        DocumentWindow *doc = openAndEdit(path);
        QVERIFY(doc);
        // Fill the file system to its last block.
        {
            QFile filler(mountPoint + QStringLiteral("/filler"));
            QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
            const QByteArray block(4096, 'f');
            while (filler.write(block) == block.size()) {
            }
        }
        expectFailedSave(doc, path, old, {QStringLiteral("filler"), QStringLiteral("style.xsl")});
    }

    void previewFiles_outOfSpace()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        stylesheetPane(doc)->setText(QString::fromUtf8(stylesheet(100)));
        sourcePane(doc)->setText(QStringLiteral("<r/>"));
        DiskFull full(QDir::tempPath(), 10);
        QVERIFY(!doc->previewInBrowser());
        QVERIFY2(fake->lastMessage().text.contains(QLatin1String("No space left on device")), qPrintable(fake->lastMessage().text));
        QString stem = getTempFileStem();
        QVERIFY(!doc->buildPreviewFile(stem));
        QVERIFY2(fake->lastMessage().text.contains(QLatin1String("No space left on device")), qPrintable(fake->lastMessage().text));
        const QStringList left = testenv::leftoverTempFiles();
        QVERIFY2(left == QStringList{QFileInfo(m_dir->path()).fileName()}, qPrintable(left.join(QLatin1Char(','))));
    }

    void settings_outOfSpace()
    {
        SettingsStore::save(QStringLiteral("Options"), QStringLiteral("FontName"), QStringLiteral("Old Font"));
        const QString file = SettingsStore::fileName();
        const QByteArray before = readFile(file);
        {
            DiskFull full(QFileInfo(file).absolutePath(), 0);
            try {
                SettingsStore::save(QStringLiteral("Options"), QStringLiteral("FontName"), QStringLiteral("New Font"));
                QFAIL("the save reported success");
            } catch (const SettingsError &e) {
                QVERIFY2(QString::fromUtf8(e.what()).contains(QLatin1String("No space left on device")), e.what());
            }
        }
        QCOMPARE(readFile(file), before);
        QCOMPARE(SettingsStore::read(QStringLiteral("Options"), QStringLiteral("FontName"), QString()), QStringLiteral("Old Font"));
        QCOMPARE(entries(QFileInfo(file).absolutePath()), QStringList{QFileInfo(file).fileName()});
    }
};

ZENDRIK_TEST_MAIN(TstFullDisk)
#include "tst_fulldisk.moc"
