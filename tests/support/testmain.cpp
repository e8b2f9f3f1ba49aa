#include "testmain.h"

#include <QDir>
#include <QTest>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

namespace testenv {
namespace {
QString g_root;

QString sub(const char *name)
{
    return g_root + QLatin1Char('/') + QLatin1String(name);
}
} // namespace

void prepare()
{
    QByteArray base = qgetenv("TMPDIR");
    if (base.isEmpty())
        base = "/tmp";
    QByteArray tmpl = base + "/zendrik-test-XXXXXX";
    if (!mkdtemp(tmpl.data())) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    g_root = QString::fromLocal8Bit(tmpl);
    for (const char *d : {"config", "data", "cache", "state", "runtime", "tmp"})
        QDir().mkpath(sub(d));
    QFile::setPermissions(sub("runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_CONFIG_HOME", sub("config").toLocal8Bit());
    qputenv("XDG_DATA_HOME", sub("data").toLocal8Bit());
    qputenv("XDG_CACHE_HOME", sub("cache").toLocal8Bit());
    qputenv("XDG_STATE_HOME", sub("state").toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", sub("runtime").toLocal8Bit());
    qputenv("TMPDIR", sub("tmp").toLocal8Bit());
}

QString configHome() { return sub("config"); }
QString tempDir() { return sub("tmp"); }
QString stateHome() { return sub("state"); }

QStringList leftoverTempFiles()
{
    return QDir(tempDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QList<QStringList> table(const QString &path)
{
    QList<QStringList> rows;
    for (const QString &line : QString::fromUtf8(readFile(path)).split('\n')) {
        if (line.trimmed().isEmpty() || line.startsWith('#'))
            continue;
        rows << QStringList();
        for (const QString &field : line.split(QStringLiteral(" | ")))
            rows.last() << field.trimmed();
    }
    if (rows.isEmpty())
        qWarning("no rows in %s", qPrintable(path));
    return rows;
}

int finish(QObject &test, int argc, char **argv)
{
    int rc = QTest::qExec(&test, argc, argv);
    const QStringList left = leftoverTempFiles();
    if (!left.isEmpty()) {
        std::fprintf(stderr, "FAIL: files left in the temporary folder: %s\n",
                     qPrintable(left.join(QStringLiteral(", "))));
        rc = rc ? rc : 1;
    }
    QDir(g_root).removeRecursively();
    return rc;
}

} // namespace testenv
