// The re-indenter. tests/data/format-<case>/ holds input.xml and either expected.xml or, for text
// that must be refused, expected-error.txt ("line:column: message"). An optional options.txt sets
// "width N" (indentation per level, 2 when not given) and "base N" (format as a fragment whose
// lines start with N spaces).
#include "engine/formatter.h"

#include <QtTest>
#include <QXmlStreamReader>

namespace {

QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

struct Options {
    int width = 2;
    bool fragment = false;
    QString base;
};

Options optionsIn(const QString &folder)
{
    Options o;
    for (const QString &line : readText(folder + QStringLiteral("/options.txt")).split('\n', Qt::SkipEmptyParts)) {
        const QStringList words = line.split(' ');
        if (words.value(0) == QLatin1String("width"))
            o.width = words.value(1).toInt();
        if (words.value(0) == QLatin1String("base")) {
            o.fragment = true;
            o.base = QString(words.value(1).toInt(), ' ');
        }
    }
    return o;
}

formatter::Result format(const QString &text, const Options &o)
{
    return o.fragment ? formatter::formatFragment(text, o.width, o.base) : formatter::formatDocument(text, o.width);
}

// What a reader sees of a document apart from whitespace-only text: each start and end tag with
// its attributes, every other node with its text.
QStringList content(const QString &xml)
{
    QStringList out;
    QXmlStreamReader r(xml);
    while (!r.atEnd()) {
        r.readNext();
        if (r.isWhitespace())
            continue;
        QString item = r.tokenString() + ' ' + r.qualifiedName().toString() + ' ' + r.text().toString();
        for (const QXmlStreamAttribute &a : r.attributes())
            item += ' ' + a.qualifiedName().toString() + '=' + a.value().toString();
        out << item;
    }
    if (r.hasError())
        out << QStringLiteral("error: ") + r.errorString();
    return out;
}

// About targetChars of nested sections with attributes, mixed paragraphs, preserved blocks,
// comments and references, laid out as badly as a hand edit may leave it.
QString largeDocument(qsizetype targetChars)
{
    QString s;
    s.reserve(targetChars + 4096);
    s += QStringLiteral("<?xml version=\"1.0\"?>\n<library>");
    for (int i = 0; s.size() < targetChars; ++i) {
        const int depth = 1 + i % 9;
        for (int d = 0; d < depth; ++d)
            s += QStringLiteral("<section id='s%1-%2' level=\"%2\">%3").arg(i).arg(d).arg(d % 3 ? "\n" : "  ");
        s += QStringLiteral("<p class=\"n\">Paragraph %1 with <b>bold</b>  and\n   <i>italic &amp; &#233;</i> text.</p>"
                            "<!-- note %1 --><pre xml:space=\"preserve\">\n  <code> x &lt; %1 </code>\n</pre>"
                            "<empty/><data><![CDATA[a < b]]></data>")
                 .arg(i);
        for (int d = 0; d < depth; ++d)
            s += d % 2 ? QStringLiteral("</section>\r\n") : QStringLiteral("</section>");
    }
    s += QStringLiteral("</library>\n");
    return s;
}

} // namespace

class TstFormatter : public QObject
{
    Q_OBJECT

private slots:
    void goldenFolders_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("crlf");
        const QDir data(QStringLiteral(TEST_DATA_DIR));
        const QStringList cases = data.entryList({QStringLiteral("format-*")}, QDir::Dirs);
        QVERIFY(cases.size() >= 6);
        for (const QString &name : cases)
            for (const bool crlf : {false, true})
                QTest::addRow("%s%s", qPrintable(name), crlf ? ", CRLF" : "") << data.filePath(name) << crlf;
    }
    void goldenFolders()
    {
        QFETCH(QString, folder);
        QFETCH(bool, crlf);
        const Options o = optionsIn(folder);
        QString input = readText(folder + QStringLiteral("/input.xml"));
        QVERIFY(!input.isEmpty());
        if (crlf)
            input.replace('\n', QStringLiteral("\r\n"));
        const formatter::Result r = format(input, o);

        const QString errorFile = folder + QStringLiteral("/expected-error.txt");
        if (QFile::exists(errorFile)) {
            QVERIFY(!r.ok);
            QCOMPARE(QStringLiteral("%1:%2: %3").arg(r.line).arg(r.column).arg(r.error), readText(errorFile).trimmed());
            QCOMPARE(r.text, input);
            return;
        }
        QVERIFY2(r.ok, qPrintable(QStringLiteral("%1:%2: %3").arg(r.line).arg(r.column).arg(r.error)));
        QString expected = readText(folder + QStringLiteral("/expected.xml"));
        if (crlf)
            expected.replace('\n', QStringLiteral("\r\n"));
        QCOMPARE(r.text, expected);
        const formatter::Result again = format(r.text, o);
        QVERIFY(again.ok);
        QCOMPARE(again.text, r.text);
    }

    // Text that cannot be formatted is refused with where the parser stopped, and kept.
    void refusals_data()
    {
        QTest::addColumn<bool>("fragment");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty document") << false << QString() << "1:1: Document is empty";
        QTest::newRow("undeclared prefix in a document") << false << QStringLiteral("<a>\n<x:b/></a>")
                                                         << "2:5: Namespace prefix x on b is not defined";
        QTest::newRow("undeclared entity in a document") << false << QStringLiteral("<a>&nbsp;</a>")
                                                         << "1:10: Entity 'nbsp' not defined";
        QTest::newRow("entity that is not well-formed") << false << QStringLiteral("<!DOCTYPE d [<!ENTITY e '<x>'>]>\n<d>&e;</d>")
                                                        << "2:7: In the replacement text of an entity: Premature end of data in tag x line 1";
        QTest::newRow("two roots") << false << QStringLiteral("<a/>\n<b/>") << "2:1: Extra content at the end of the document";
        QTest::newRow("unclosed comment") << false << QStringLiteral("<a><!-- x</a>") << "1:14: Comment not terminated";
        QTest::newRow("fragment, first line") << true << QStringLiteral("<a><b></a>")
                                              << "1:11: Opening and ending tag mismatch: b line 1 and a";
        QTest::newRow("fragment, unclosed") << true << QStringLiteral("<a>\n  <b/>\n")
                                            << "3:1: Opening and ending tag mismatch: a line 1 and the end of the fragment";
        QTest::newRow("fragment, declaration") << true << QStringLiteral("<?xml version='1.0'?><a/>")
                                               << "1:6: XML declaration allowed only at the start of the document";
    }
    void refusals()
    {
        QFETCH(bool, fragment);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        const formatter::Result r = fragment ? formatter::formatFragment(text, 2, QStringLiteral("  "))
                                             : formatter::formatDocument(text, 2);
        QVERIFY(!r.ok);
        QCOMPARE(QStringLiteral("%1:%2: %3").arg(r.line).arg(r.column).arg(r.error), expected);
        QCOMPARE(r.text, text);
    }

    // Every prefix of every golden input, as a document and as a fragment: refused with the
    // text kept, or formatted so that a second pass changes nothing.
    void truncatedInputs()
    {
        const QDir data(QStringLiteral(TEST_DATA_DIR));
        for (const QString &name : data.entryList({QStringLiteral("format-*")}, QDir::Dirs)) {
            const QString input = readText(data.filePath(name) + QStringLiteral("/input.xml"));
            for (qsizetype n = 0; n <= input.size(); ++n) {
                const QString text = input.left(n);
                for (const bool fragment : {false, true}) {
                    const Options o{3, fragment, QStringLiteral("\t")};
                    const formatter::Result r = format(text, o);
                    if (!r.ok) {
                        QVERIFY(!r.error.isEmpty());
                        QCOMPARE(r.text, text);
                    } else {
                        QCOMPARE(format(r.text, o).text, r.text);
                    }
                }
            }
        }
    }

    // The line ending most lines use wins, unless the output would then mostly use the other;
    // a fragment ends as it ended; the width per level has a limit.
    void lineEndingsAndWidth_data()
    {
        QTest::addColumn<bool>("fragment");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("width");
        QTest::newRow("mostly CRLF") << false << QStringLiteral("<a>\r\n<b/>\r\n<c/>\n</a>") << QStringLiteral("<a>\r\n <b/>\r\n <c/>\r\n</a>\r\n") << 1;
        QTest::newRow("mostly LF") << false << QStringLiteral("<a>\n<b/>\r\n<c/>\n</a>") << QStringLiteral("<a>\n <b/>\n <c/>\n</a>\n") << 1;
        QTest::newRow("most breaks inside tags") << true << QStringLiteral(" \n<p\r\n/>\n<p\r\n/>")
                                                 << QStringLiteral(" <p\r\n/>\r\n <p\r\n/>") << 1;
        QTest::newRow("fragment without end") << true << QStringLiteral("<b/><c/>") << QStringLiteral(" <b/>\n <c/>") << 1;
        QTest::newRow("fragment with end") << true << QStringLiteral("<b/><c/>  \r\n") << QStringLiteral(" <b/>\r\n <c/>\r\n") << 1;
        QTest::newRow("width beyond the limit") << true << QStringLiteral("<a><b/></a>") << QStringLiteral(" <a>\n ").append(QString(32, ' ')).append("<b/>\n </a>") << INT_MAX;
        QTest::newRow("fragment with text") << true << QStringLiteral("<b/> text <c/>\n") << QStringLiteral("<b/> text <c/>\n") << 1;
    }
    void lineEndingsAndWidth()
    {
        QFETCH(bool, fragment);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QFETCH(int, width);
        const formatter::Result r = fragment ? formatter::formatFragment(text, width, QStringLiteral(" "))
                                             : formatter::formatDocument(text, width);
        QVERIFY(r.ok);
        QCOMPARE(r.text, expected);
    }

    // The limits of opening a document: nesting deeper than libxml2's usual 256 levels formats
    // (it opens and previews too), unless the document declares entities, whose expansion the
    // raised limits would no longer bound.
    void limitsAsOpening_data()
    {
        QTest::addColumn<bool>("fragment");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");
        const QString deep = QStringLiteral("<a>").repeated(300) + QStringLiteral("</a>").repeated(300);
        QTest::newRow("document 300 levels deep") << false << deep << QString();
        QTest::newRow("fragment 300 levels deep") << true << deep << QString();
        QTest::newRow("300 levels and an entity") << false << QStringLiteral("<!DOCTYPE a [<!ENTITY e 'x'>]>") + deep
                                                  << QStringLiteral("The document is larger than the usual limits allow and declares "
                                                                    "entities; such a document cannot be read safely");
    }
    void limitsAsOpening()
    {
        QFETCH(bool, fragment);
        QFETCH(QString, text);
        QFETCH(QString, error);
        const formatter::Result r = fragment ? formatter::formatFragment(text, 1, QString()) : formatter::formatDocument(text, 1);
        QCOMPARE(r.error, error);
        QCOMPARE(r.ok, error.isEmpty());
        if (r.ok) {
            const QStringList lines = r.text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            // The innermost element has nothing inside: it stays on one line.
            QCOMPARE(lines.size(), 599);
            QCOMPARE(lines.at(299), QString(299, QLatin1Char(' ')) + QStringLiteral("<a></a>"));
        }
    }

    void largeDocument()
    {
        const QString input = ::largeDocument(10 * 1024 * 1024);
        const formatter::Result r = formatter::formatDocument(input, 2);
        QVERIFY2(r.ok, qPrintable(r.error));
        QVERIFY(r.text != input);
        const formatter::Result again = formatter::formatDocument(r.text, 2);
        QVERIFY2(again.ok, qPrintable(again.error));
        QVERIFY(again.text == r.text);
        const QStringList before = content(input);
        QVERIFY(before.size() > 100000);
        QVERIFY(!before.last().startsWith(QLatin1String("error")));
        QVERIFY(content(r.text) == before);
    }
};

QTEST_GUILESS_MAIN(TstFormatter)
#include "tst_formatter.moc"
