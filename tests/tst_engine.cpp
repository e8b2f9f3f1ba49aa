// Transformations as golden folders, through the engine alone: no window library is linked.
//
// tests/data/<case>/ holds stylesheet.xsl and source.xml (only spaces: no source), and for each
// preview target either the expected page (tab.out, browser.out) or the expected error
// (tab.error, browser.error: the box's title on the first line, a part of its text on the
// second). browser.out is what xsltproc writes for the same pair.
#include "engine/previewpipeline.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTest>

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TstEngine : public QObject
{
    Q_OBJECT

private slots:
    void goldenFolders_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("target");
        const QDir data(QStringLiteral(TEST_DATA_DIR));
        const QStringList cases = data.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QVERIFY(cases.size() >= 10);
        for (const QString &name : cases) {
            const QString folder = data.filePath(name);
            bool any = false;
            for (const auto &[target, prefix] : {std::pair{preview::Target::Tab, "tab"}, {preview::Target::Browser, "browser"}}) {
                if (QFile::exists(folder + QStringLiteral("/%1.out").arg(QLatin1String(prefix)))
                    || QFile::exists(folder + QStringLiteral("/%1.error").arg(QLatin1String(prefix)))) {
                    QTest::addRow("%s, %s", qPrintable(name), prefix) << folder << int(target);
                    any = true;
                }
            }
            QVERIFY2(any, qPrintable(name + QStringLiteral(" has no expected result")));
        }
    }
    void goldenFolders()
    {
        QFETCH(QString, folder);
        QFETCH(int, target);
        const QString prefix = folder + (target == int(preview::Target::Tab) ? QStringLiteral("/tab") : QStringLiteral("/browser"));
        const preview::Input input{readFile(folder + QStringLiteral("/stylesheet.xsl")), folder + QStringLiteral("/stylesheet.xsl"),
                                   readFile(folder + QStringLiteral("/source.xml")), folder + QStringLiteral("/source.xml")};
        const preview::Result result = preview::build(input, preview::Target(target));
        if (QFile::exists(prefix + QStringLiteral(".out"))) {
            QVERIFY2(result.ok, qPrintable(result.title + QStringLiteral(": ") + result.text));
            QCOMPARE(result.page, readFile(prefix + QStringLiteral(".out")));
            return;
        }
        const QStringList expected = QString::fromUtf8(readFile(prefix + QStringLiteral(".error"))).split(QLatin1Char('\n'));
        QVERIFY(!result.ok);
        QVERIFY(result.page.isEmpty());
        QCOMPARE(result.title, expected.value(0));
        QVERIFY2(result.text.contains(expected.value(1)), qPrintable(result.text));
        // Nothing a refused stylesheet tried to write exists.
        QVERIFY(!QFile::exists(folder + QStringLiteral("/written.txt")));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TstEngine tc;
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_engine.moc"
