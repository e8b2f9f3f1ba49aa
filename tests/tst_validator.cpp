// Validation against a DTD, an XML Schema and a RELAX NG grammar. The sources and schemas are in
// tests/data/validate/; the lines and messages expected are those xmllint reports for the same
// files (--valid, --schema, --relaxng).
#include "engine/validator.h"

#include <QtTest>

#include <libxml/xmlerror.h>
#include <thread>
#include <unistd.h>

using validator::Schema;

namespace {

const QString kDir = QStringLiteral(TEST_DATA_DIR "/validate/");

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

validator::Result validateFile(const QString &source, Schema kind, const QString &schema)
{
    return validator::validate(readFile(kDir + source), kDir + source, kind,
                               schema.startsWith(QLatin1String("http:")) || schema.isEmpty() ? schema : kDir + schema);
}

} // namespace

class TstValidator : public QObject
{
    Q_OBJECT

private slots:
    // Each row: the source, the kind and the schema, whether it is valid, and either the
    // problems ("line|part of the message") or part of the one-line error.
    void validate_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<Schema>("kind");
        QTest::addColumn<QString>("schema");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QStringList>("problems");
        QTest::addColumn<QString>("error");
        const auto row = [](const char *name, const char *source, Schema kind, const char *schema, bool valid,
                            const QStringList &problems, const char *error = "") {
            QTest::newRow(name) << source << kind << schema << valid << problems << error;
        };
        row("dtd, valid, entity from the DTD", "dtd-valid.xml", Schema::Dtd, "", true, {});
        row("dtd, invalid", "dtd-invalid.xml", Schema::Dtd, "", false,
            {"6|No declaration for element b", "6|declared #PCDATA but contains non text nodes",
             "7|content does not follow the DTD", "7|does not carry attribute id"});
        row("dtd, internal subset", "dtd-internal.xml", Schema::Dtd, "", false, {"7|declared EMPTY this one has content"});
        row("dtd, no doctype", "plain-valid.xml", Schema::Dtd, "", false, {}, "no DOCTYPE");
        row("dtd, on the network", "dtd-network.xml", Schema::Dtd, "", false, {},
            "\"http://127.0.0.1:9/note.dtd\" was not read: documents are never fetched from the network");
        row("dtd, missing", "dtd-missing.xml", Schema::Dtd, "", false, {}, "absent.dtd");
        row("dtd, not well-formed", "dtd-broken.xml", Schema::Dtd, "", false, {},
            "broken.dtd\" is not well-formed: line 1: ContentDecl");
        row("xsd, valid, included types", "plain-valid.xml", Schema::Xsd, "order.xsd", true, {});
        row("xsd, invalid", "plain-invalid.xml", Schema::Xsd, "order.xsd", false,
            {"2|'number' is required but missing", "3|'two' is not a valid value", "4|This element is not expected"});
        row("xsd, unresolved type", "plain-valid.xml", Schema::Xsd, "unresolved-type.xsd", false, {},
            "cannot be used: line 3: element decl. 'order'");
        row("xsd, import from the network", "plain-valid.xml", Schema::Xsd, "network-import.xsd", false, {},
            "remote.xsd\" was not read: documents are never fetched from the network");
        row("xsd, missing", "plain-valid.xml", Schema::Xsd, "absent.xsd", false, {}, "absent.xsd");
        row("xsd, given as an address", "plain-valid.xml", Schema::Xsd, "http://127.0.0.1:9/order.xsd", false, {},
            "not a local file");
        row("xsd, none given", "plain-valid.xml", Schema::Xsd, "", false, {}, "No schema file");
        row("rng, valid", "plain-valid.xml", Schema::RelaxNg, "order.rng", true, {});
        row("rng, invalid", "plain-invalid.xml", Schema::RelaxNg, "order.rng", false,
            {"2|Element order failed to validate attributes", "3|doesn't allow value 'two'",
             "3|Element item failed to validate attributes", "4|Did not expect element gift there"});
        row("rng, not well-formed", "plain-valid.xml", Schema::RelaxNg, "not-well-formed.rng", false, {},
            "line 4: Opening and ending tag mismatch");
        row("rng, an xsd instead", "plain-valid.xml", Schema::RelaxNg, "order.xsd", false, {}, "cannot be used");
        for (const Schema kind : {Schema::Dtd, Schema::Xsd, Schema::RelaxNg}) {
            const char *schema = kind == Schema::Xsd ? "order.xsd" : kind == Schema::RelaxNg ? "order.rng" : "";
            QTest::addRow("source not well-formed, %d", int(kind))
                << "not-well-formed.xml" << kind << schema << false << QStringList()
                << "The XML source is not well-formed: line 4: Opening and ending tag mismatch";
            QTest::addRow("source empty, %d", int(kind))
                << "empty.xml" << kind << schema << false << QStringList() << "The XML source is not well-formed";
        }
    }
    void validate()
    {
        QFETCH(QString, source);
        QFETCH(Schema, kind);
        QFETCH(QString, schema);
        QFETCH(bool, valid);
        QFETCH(QStringList, problems);
        QFETCH(QString, error);

        // Nothing reaches the terminal, and the caller's error handler is back afterwards.
        QTemporaryFile capture;
        QVERIFY(capture.open());
        const int saved = dup(STDERR_FILENO);
        QVERIFY(dup2(capture.handle(), STDERR_FILENO) >= 0);
        int marker = 0;
        xmlSetStructuredErrorFunc(&marker, nullptr);
        const validator::Result r = validateFile(source, kind, schema);
        const bool handlerBack = xmlStructuredErrorContext == &marker;
        xmlSetStructuredErrorFunc(nullptr, nullptr);
        std::fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        QCOMPARE(capture.readAll(), QByteArray());
        QVERIFY(handlerBack);

        QCOMPARE(r.valid, valid);
        if (error.isEmpty())
            QVERIFY2(r.error.isEmpty(), qPrintable(r.error));
        else
            QVERIFY2(r.error.contains(error), qPrintable(r.error));
        QVERIFY(!r.error.contains('\n'));
        QStringList got;
        for (const Diagnostic &d : r.problems) {
            QCOMPARE(d.origin, Diagnostic::Origin::Validation);
            QCOMPARE(d.severity, Diagnostic::Severity::Error);
            QCOMPARE(d.file, kDir + source);
            got << QString::number(d.line) + '|' + d.message;
        }
        QCOMPARE(got.size(), problems.size());
        for (int i = 0; i < problems.size(); ++i)
            QVERIFY2(got[i].startsWith(problems[i].section('|', 0, 0) + '|') && got[i].contains(problems[i].section('|', 1)),
                     qPrintable(got[i] + QStringLiteral(" / expected ") + problems[i]));
    }

    // A source that came from the network reads no DTD and no local file: its DTD is not read,
    // while the schema file the user picked is, with what that file includes. "{dtd}" stands for
    // the address of a local DTD that would make the source valid.
    void validate_sourceFromNetwork_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<Schema>("kind");
        QTest::addColumn<QString>("schema");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("problem"); // "line|part of the message", or empty
        QTest::addColumn<QString>("error");
        const QString note = QStringLiteral("<note id=\"n1\"><to>Ann</to><from>Bo</from><body>Hi</body></note>");
        const QString notRead = QStringLiteral("The DTD of a document from the network is not read");
        QTest::addRow("dtd at a local address") << "<!DOCTYPE note SYSTEM \"{dtd}\">" + note << Schema::Dtd << "" << false << "" << notRead;
        QTest::addRow("dtd beside it") << "<!DOCTYPE note SYSTEM \"note.dtd\">" + note << Schema::Dtd << "" << false << "" << notRead;
        QTest::addRow("parameter entity at a local address")
            << "<!DOCTYPE note [<!ENTITY % pe SYSTEM \"{dtd}\"> %pe;]>" + note << Schema::Dtd << "" << false << "" << notRead;
        QTest::addRow("internal subset") << "<!DOCTYPE list [<!ELEMENT list (item+)><!ELEMENT item EMPTY>]>\n<list><item>x</item></list>"
                                         << Schema::Dtd << "" << false << "2|declared EMPTY this one has content" << "";
        const QString order = QString::fromUtf8(readFile(kDir + "plain-valid.xml"));
        QTest::addRow("xsd picked by the user") << order << Schema::Xsd << "order.xsd" << true << "" << "";
        QTest::addRow("rng picked by the user") << order << Schema::RelaxNg << "order.rng" << true << "" << "";
    }
    void validate_sourceFromNetwork()
    {
        QFETCH(QString, source);
        QFETCH(Schema, kind);
        QFETCH(QString, schema);
        QFETCH(bool, valid);
        QFETCH(QString, problem);
        QFETCH(QString, error);
        const QString base = QStringLiteral("http://127.0.0.1:9/docs/note.xml");
        source.replace("{dtd}", QUrl::fromLocalFile(kDir + "note.dtd").toString());
        const validator::Result r = validator::validate(source.toUtf8(), base, kind, schema.isEmpty() ? schema : kDir + schema);
        QVERIFY2(error.isEmpty() ? r.error.isEmpty() : r.error.contains(error), qPrintable(r.error));
        QVERIFY(!r.error.contains('\n'));
        QStringList got;
        for (const Diagnostic &d : r.problems)
            got << QString::number(d.line) + '|' + d.message;
        QCOMPARE(got.size(), problem.isEmpty() ? 0 : 1);
        QCOMPARE(r.valid, valid);
        if (!problem.isEmpty())
            QVERIFY2(got[0].startsWith(problem.section('|', 0, 0) + '|') && got[0].contains(problem.section('|', 1)), qPrintable(got[0]));
    }

    // A document with more problems than are listed: the first ones, then how many more.
    void validate_manyProblems()
    {
        const int count = validator::kMaxProblems + 37;
        QByteArray source = "<!DOCTYPE list [<!ELEMENT list (item*)><!ELEMENT item EMPTY>]>\n<list>\n";
        for (int i = 0; i < count; ++i)
            source += "<item>x</item>\n";
        source += "</list>\n";
        const validator::Result r = validator::validate(source, QStringLiteral("many.xml"), Schema::Dtd);
        QVERIFY(!r.valid);
        QCOMPARE(r.problems.size(), validator::kMaxProblems + 1);
        QCOMPARE(r.problems[validator::kMaxProblems - 1].line, validator::kMaxProblems + 2);
        QCOMPARE(r.problems.last().severity, Diagnostic::Severity::Information);
        QVERIFY2(r.problems.last().message.startsWith(QString::number(count - validator::kMaxProblems) + " more"),
                 qPrintable(r.problems.last().message));
    }

    // Nesting deeper than libxml2 allows by default, as the editor opens it: validated unless the
    // document declares an entity, whose expansion would then be unbounded.
    void validate_beyondUsualLimits_data()
    {
        QTest::addColumn<QByteArray>("subset");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("error");
        QTest::newRow("no entity") << QByteArray("<!ELEMENT a (a?)>") << true << QString();
        QTest::newRow("an entity") << QByteArray("<!ENTITY e 'x'><!ELEMENT a (a?)>") << false << "declares entities";
        QTest::newRow("invalid") << QByteArray("<!ELEMENT a EMPTY>") << false << QString();
    }
    void validate_beyondUsualLimits()
    {
        QFETCH(QByteArray, subset);
        QFETCH(bool, valid);
        QFETCH(QString, error);
        const int depth = 1000;
        const QByteArray source = "<!DOCTYPE a [" + subset + "]>\n" + QByteArray("<a>").repeated(depth)
                                  + QByteArray("</a>").repeated(depth);
        const validator::Result r = validator::validate(source, QString(), Schema::Dtd);
        QCOMPARE(r.valid, valid);
        QVERIFY2(error.isEmpty() ? r.error.isEmpty() : r.error.contains(error), qPrintable(r.error));
        QCOMPARE(r.problems.isEmpty(), valid || !error.isEmpty());
    }

    // Validations on several threads at once each report exactly their own problems.
    void validate_concurrently()
    {
        const QList<std::tuple<QString, Schema, QString>> cases = {
            {"dtd-invalid.xml", Schema::Dtd, ""},
            {"plain-invalid.xml", Schema::Xsd, "order.xsd"},
            {"plain-invalid.xml", Schema::RelaxNg, "order.rng"},
            {"dtd-network.xml", Schema::Dtd, ""},
        };
        QList<validator::Result> expected;
        for (const auto &[source, kind, schema] : cases)
            expected << validateFile(source, kind, schema);
        std::atomic<int> mismatches = 0;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 25; ++i) {
                    const int c = (t + i) % int(cases.size());
                    const auto &[source, kind, schema] = cases[c];
                    const validator::Result r = validateFile(source, kind, schema);
                    if (r.valid != expected[c].valid || r.problems != expected[c].problems || r.error != expected[c].error)
                        ++mismatches;
                }
            });
        for (std::thread &t : threads)
            t.join();
        QCOMPARE(mismatches.load(), 0);
    }
};

QTEST_GUILESS_MAIN(TstValidator)

#include "tst_validator.moc"
