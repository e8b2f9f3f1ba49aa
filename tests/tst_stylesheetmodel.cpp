// The model of a stylesheet: declarations and references, resolved by XSLT's scoping rules,
// across includes and imports. Golden folders tests/data/model-<case>/ hold stylesheet.xsl
// (and the modules it reads), expected.txt (one line a reference, with what it resolves to) and
// checks.txt (what the checks find).
#include "engine/stylesheetmodel.h"
#include "engine/stylesheetrename.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

namespace {

const char *const kReferenceKinds[] = {"Variable", "CallTemplate", "WithParam", "Mode", "Key", "AttributeSet", "Function", "Href"};
const char *const kDeclarationKinds[] = {"Template", "Variable", "Param", "Key", "AttributeSet", "DecimalFormat", "NamespaceAlias",
                                         "Include", "Import", "Function", "CharacterMap", "Accumulator", "Mode"};

std::optional<QString> readModule(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    return QString::fromUtf8(f.readAll());
}

QString describe(const stylesheet::Model &model, const QDir &folder)
{
    QStringList lines;
    const auto where = [&](const stylesheet::Place &p) {
        return QStringLiteral("%1:%2:%3").arg(folder.relativeFilePath(p.file)).arg(p.line).arg(p.column);
    };
    for (const stylesheet::Reference &r : model.references) {
        QString line = QStringLiteral("%1 %2 %3 -> ").arg(QLatin1String(kReferenceKinds[int(r.kind)]), r.name, where(r.place));
        if (r.declaration < 0) {
            line += QStringLiteral("none");
        } else {
            const stylesheet::Declaration &d = model.declarations[r.declaration];
            line += QStringLiteral("%1 %2 %3").arg(QLatin1String(kDeclarationKinds[int(d.kind)]), d.name, where(d.place));
        }
        lines << line;
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

} // namespace

class TstStylesheetModel : public QObject
{
    Q_OBJECT

private slots:
    void goldenFolders_data()
    {
        QTest::addColumn<QString>("folder");
        const QDir data(QStringLiteral(TEST_DATA_DIR));
        for (const QString &name : data.entryList({QStringLiteral("model-*")}, QDir::Dirs))
            QTest::newRow(qPrintable(name)) << data.filePath(name);
    }
    // expected.txt: the references and what they resolve to; checks.txt: what the checks find,
    // a line each.
    void goldenFolders()
    {
        QFETCH(QString, folder);
        const QString main = QDir(folder).filePath(QStringLiteral("stylesheet.xsl"));
        const stylesheet::Model model = stylesheet::build(*readModule(main), main, readModule);
        QStringList findings;
        for (const stylesheet::Finding &f : stylesheet::check(model, model.version))
            findings << QStringLiteral("%1 %2:%3:%4 %5\n")
                            .arg(f.severity == stylesheet::Finding::Severity::Error ? "error" : "warning")
                            .arg(QDir(folder).relativeFilePath(f.place.file))
                            .arg(f.place.line)
                            .arg(f.place.column)
                            .arg(f.message);
        const QList<QPair<QString, QString>> goldens = {{"expected.txt", describe(model, QDir(folder))},
                                                        {"checks.txt", findings.isEmpty() ? "\n" : findings.join(QString())}};
        for (const auto &[name, got] : goldens) {
            QFile expected(QDir(folder).filePath(name));
            if (!expected.exists() && qEnvironmentVariableIsSet("ZENDRIK_WRITE_GOLDEN")) {
                QVERIFY(expected.open(QIODevice::WriteOnly));
                expected.write(got.toUtf8());
                QSKIP(qPrintable(name + " written: look at it before it counts"));
            }
            QVERIFY(expected.open(QIODevice::ReadOnly));
            QCOMPARE(got, QString::fromUtf8(expected.readAll()));
        }
    }

    // DocBook's html stylesheet with its whole import tree: every variable it uses is found.
    void docbook_variablesResolve()
    {
        const QString main = QStringLiteral("/usr/share/xml/docbook/stylesheet/docbook-xsl/html/docbook.xsl");
        if (!QFile::exists(main))
            QSKIP("docbook-xsl is not installed");
        QElapsedTimer t;
        t.start();
        const stylesheet::Model model = stylesheet::build(*readModule(main), main, readModule);
        // Including those declared and used through the entities of its modules' DTDs
        // (glossary.xsl declares $language in an entity of ../common/entities.ent).
        QStringList unresolved;
        for (const stylesheet::Reference &r : model.references)
            if (r.kind == stylesheet::Reference::Kind::Variable && r.declaration < 0)
                unresolved << QStringLiteral("%1:%2 $%3").arg(r.place.file).arg(r.place.line).arg(r.name);
        qInfo("%lld files, %lld declarations, %lld references in %lld ms", qint64(model.files.size()), qint64(model.declarations.size()),
              qint64(model.references.size()), qint64(t.elapsed()));
        QVERIFY(model.files.size() > 50);
        QVERIFY2(unresolved.isEmpty(), qPrintable(QString::number(unresolved.size()) + ": " + unresolved.mid(0, 10).join("; ")));
    }

    // Renames planned over tests/data/model-rename: rows.txt holds, for each, where the name is,
    // the new name, and the edits or the refusal the user sees.
    void planRename_data()
    {
        QTest::addColumn<QString>("where");
        QTest::addColumn<QString>("newName");
        QTest::addColumn<QString>("readonly");
        QTest::addColumn<QString>("expected");
        QFile rows(QDir(QStringLiteral(TEST_DATA_DIR)).filePath(QStringLiteral("model-rename/rows.txt")));
        QVERIFY(rows.open(QIODevice::ReadOnly));
        QStringList row;
        QString expected;
        const auto flush = [&] {
            if (!row.isEmpty())
                QTest::newRow(qPrintable(row.join(QLatin1Char(' ')))) << row.value(0) << row.value(1)
                                                                       << row.value(2).section(QLatin1Char('='), 1) << expected;
            row.clear();
            expected.clear();
        };
        for (const QString &line : QString::fromUtf8(rows.readAll()).split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("rename "))) {
                flush();
                row = line.mid(7).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            } else if (line.startsWith(QLatin1String("  "))) {
                expected += line.trimmed() + QLatin1Char('\n');
            }
        }
        flush();
    }
    void planRename()
    {
        QFETCH(QString, where);
        QFETCH(QString, newName);
        QFETCH(QString, readonly);
        QFETCH(QString, expected);
        const QDir folder(QDir(QStringLiteral(TEST_DATA_DIR)).filePath(QStringLiteral("model-rename")));
        const QString main = folder.filePath(QStringLiteral("stylesheet.xsl"));
        const stylesheet::Model model = stylesheet::build(*readModule(main), main, readModule);
        const QStringList at = where.split(QLatin1Char(':'));
        const QString file = folder.filePath(at.value(0));
        const QString text = *readModule(file);
        int offset = 0;
        for (int line = 1; line < at.value(1).toInt(); ++line)
            offset = int(text.indexOf(QLatin1Char('\n'), offset)) + 1;
        offset += at.value(2).toInt() - 1;
        const std::optional<int> declaration = model.declarationAt(file, offset);
        const stylesheet::RenamePlan plan = stylesheet::planRename(model, declaration.value_or(-1), newName, [&](const QString &f) {
            return QFileInfo(f).fileName() != readonly;
        });
        QString got;
        if (!plan.error.isEmpty())
            got = QStringLiteral("error ") + plan.error + QLatin1Char('\n');
        for (const stylesheet::RenameEdit &e : plan.edits)
            got += QStringLiteral("%1:%2:%3 %4→%5\n")
                       .arg(folder.relativeFilePath(e.place.file))
                       .arg(e.place.line)
                       .arg(e.place.column)
                       .arg(readModule(e.place.file)->mid(e.place.offset, e.place.length), e.newText);
        if (expected.isEmpty() && qEnvironmentVariableIsSet("ZENDRIK_WRITE_GOLDEN"))
            qInfo().noquote() << "rename" << where << newName << "\n" << got;
        QCOMPARE(got, expected);
    }

    // The DocBook stylesheets xsltproc runs on their own (each turns a small article into an
    // HTML or FO document; the other files there are modules of these): their checks find no
    // error. Warnings (locals never used...) are allowed and counted.
    void docbook_driversHaveNoErrors_data()
    {
        QTest::addColumn<QString>("path");
        const char *const drivers[] = {
            "html/changebars.xsl",        "html/chunk-changebars.xsl",  "html/chunk.xsl",
            "html/chunkfast.xsl",         "html/docbook.xsl",           "html/onechunk.xsl",
            "html/profile-chunk.xsl",     "html/profile-docbook.xsl",   "html/profile-onechunk.xsl",
            "xhtml/changebars.xsl",       "xhtml/chunk-changebars.xsl", "xhtml/chunk.xsl",
            "xhtml/chunkfast.xsl",        "xhtml/docbook-no-doctype.xsl", "xhtml/docbook.xsl",
            "xhtml/onechunk.xsl",         "xhtml/profile-chunk.xsl",    "xhtml/profile-docbook.xsl",
            "xhtml/profile-onechunk.xsl", "fo/docbook.xsl",             "fo/profile-docbook.xsl",
        };
        for (const char *path : drivers)
            QTest::newRow(path) << QString::fromLatin1(path);
    }
    void docbook_driversHaveNoErrors()
    {
        QFETCH(QString, path);
        const QDir root(QStringLiteral("/usr/share/xml/docbook/stylesheet/docbook-xsl"));
        if (!root.exists(path.section(QLatin1Char('/'), 0, 0)))
            QSKIP("this part of docbook-xsl is not installed");
        const QString main = root.filePath(path);
        const std::optional<QString> text = readModule(main);
        QVERIFY2(text, qPrintable(main));
        const stylesheet::Model model = stylesheet::build(*text, main, readModule);
        QStringList errors;
        int warnings = 0;
        for (const stylesheet::Finding &f : stylesheet::check(model, model.version)) {
            if (f.severity == stylesheet::Finding::Severity::Warning)
                ++warnings;
            else
                errors << QStringLiteral("%1:%2:%3 %4").arg(root.relativeFilePath(f.place.file)).arg(f.place.line).arg(f.place.column).arg(f.message);
        }
        qInfo("%s: %lld modules, %d warnings", qPrintable(path), qint64(model.files.size()), warnings);
        QVERIFY2(errors.isEmpty(), qPrintable(QString::number(errors.size()) + " errors: " + errors.mid(0, 10).join(QStringLiteral("; "))));
    }
};

QTEST_GUILESS_MAIN(TstStylesheetModel)
#include "tst_stylesheetmodel.moc"
