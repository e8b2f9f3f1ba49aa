// A window's document without the window: names, changed states and parse verdicts, each
// change told once.
#include "model/stylesheetdocument.h"

#include <QSignalSpy>
#include <QTest>

using Text = StylesheetDocument::Text;
using Verdict = StylesheetDocument::Verdict;

class TstModel : public QObject
{
    Q_OBJECT
private slots:
    // Each text keeps its own state; a signal comes for a change, never for a repeat.
    void textsChangeApartAndSayItOnce()
    {
        StylesheetDocument doc;
        QSignalSpy changed(&doc, &StylesheetDocument::changedStateChanged);
        QSignalSpy named(&doc, &StylesheetDocument::fileNameChanged);
        doc.setChanged(Text::Source, true);
        doc.setChanged(Text::Source, true);
        QVERIFY(doc.isChanged(Text::Source));
        QVERIFY(!doc.isChanged(Text::Stylesheet));
        QVERIFY(doc.isChanged());
        QCOMPARE(changed.size(), 1);
        QCOMPARE(changed.at(0).at(0).value<Text>(), Text::Source);
        doc.setFileName(Text::Stylesheet, QStringLiteral("/tmp/a.xsl"));
        doc.setFileName(Text::Stylesheet, QStringLiteral("/tmp/a.xsl"));
        QCOMPARE(named.size(), 1);
        QCOMPARE(doc.fileName(Text::Stylesheet), QStringLiteral("/tmp/a.xsl"));
        QVERIFY(doc.fileName(Text::Source).isEmpty());
    }

    // A verdict is a named state: checking while a parse runs, then well-formed or malformed
    // with the report of the parse.
    void verdictsFollowTheParses()
    {
        StylesheetDocument doc;
        QSignalSpy verdicts(&doc, &StylesheetDocument::verdictChanged);
        QCOMPARE(doc.verdict(Text::Stylesheet), Verdict::WellFormed);
        doc.setChecking(Text::Stylesheet);
        QCOMPARE(doc.verdict(Text::Stylesheet), Verdict::Checking);
        XmlDocument xml;
        QVERIFY(!xml.loadXML(QStringLiteral("<a>\n<b></a>")));
        doc.setParsed(Text::Stylesheet, xml.parseError());
        QCOMPARE(doc.verdict(Text::Stylesheet), Verdict::Malformed);
        QCOMPARE(doc.parseError(Text::Stylesheet).line, 2);
        QCOMPARE(doc.verdict(Text::Source), Verdict::WellFormed);
        doc.setParsed(Text::Stylesheet, {});
        QCOMPARE(doc.verdict(Text::Stylesheet), Verdict::WellFormed);
        QCOMPARE(verdicts.size(), 3);
    }
};

QTEST_GUILESS_MAIN(TstModel)
#include "tst_model.moc"
