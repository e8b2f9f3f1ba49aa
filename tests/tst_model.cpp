// A window's document without the window: its texts loaded, edited, parsed, checked, rendered,
// kept for recovery and saved, each change told once.
#include "engine/recoverystore.h"
#include "model/stylesheetdocument.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QFile>
#include <QSignalSpy>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

using Text = StylesheetDocument::Text;
using Verdict = StylesheetDocument::Verdict;
using SaveResult = StylesheetDocument::SaveResult;

namespace {
const QString kStylesheet = QStringLiteral(
    "<xsl:stylesheet xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" version=\"1.0\">\n"
    "<xsl:param name=\"who\" select=\"'nobody'\"/>\n"
    "<xsl:template match=\"/\"><p>Hello <xsl:value-of select=\"$who\"/>, <xsl:value-of select=\"count(//i)\"/></p></xsl:template>\n"
    "</xsl:stylesheet>\n");

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}
} // namespace

class TstModel : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    // The files of a document's recovery copy under the recovery folder.
    static int recoveryFiles(const StylesheetDocument &doc)
    {
        int n = 0;
        QDirIterator it(RecoveryStore::recoveryFolder(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            n += it.next().section(QLatin1Char('/'), -1).startsWith(doc.recoveryEntry().id);
        return n;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("XDG_STATE_HOME", m_dir.filePath(QStringLiteral("state")).toUtf8());
    }

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
        QCOMPARE(doc.title(), QStringLiteral("/tmp/a.xsl"));
        QCOMPARE(StylesheetDocument().title(), QStringLiteral("New XSLT File"));
    }

    // A file is read as written and written back so: its encoding, mark and line breaks kept;
    // an edit makes it changed and an edit back makes it unchanged again.
    void loadEditSave_keepTheFileAsWritten()
    {
        const QString file = path("latin.xsl");
        const QByteArray bytes = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n<r>caf\xe9</r>\r\n";
        writeAll(file, bytes);
        StylesheetDocument doc;
        QSignalSpy changed(&doc, &StylesheetDocument::changedStateChanged);
        QString error;
        QVERIFY2(doc.loadFile(Text::Stylesheet, file, &error), qPrintable(error));
        QVERIFY(doc.text(Text::Stylesheet).contains(QStringLiteral("caf\u00e9")));
        QCOMPARE(doc.format(Text::Stylesheet).lineBreak, QByteArray("\r\n"));
        QCOMPARE(doc.fileName(Text::Stylesheet), file);
        QCOMPARE(doc.stylesheetBase(), file);
        QVERIFY(!doc.isChanged());

        const QString original = doc.text(Text::Stylesheet);
        doc.setText(Text::Stylesheet, QString(original).replace(QStringLiteral("caf\u00e9"), QStringLiteral("th\u00e9")));
        QVERIFY(doc.isChanged(Text::Stylesheet));
        doc.setText(Text::Stylesheet, original);
        QVERIFY(!doc.isChanged(Text::Stylesheet));
        QCOMPARE(changed.size(), 2);

        doc.setText(Text::Stylesheet, QString(original).replace(QStringLiteral("caf\u00e9"), QStringLiteral("th\u00e9")));
        const QString copy = path("copy.xsl");
        QCOMPARE(doc.save(Text::Stylesheet, copy, &error), SaveResult::Saved);
        QCOMPARE(readAll(copy), QByteArray(bytes).replace("caf\xe9", "th\xe9"));
        QVERIFY(!doc.isChanged());
        QCOMPARE(doc.fileName(Text::Stylesheet), copy);
        QCOMPARE(doc.stylesheetBase(), copy);
    }

    // A save writes the encoding the declaration names when it is saved, not the one the file
    // was read in; the file's own bytes, mark and fallback stay while the declaration does. What
    // the declared encoding cannot hold, or an encoding that cannot be written, goes as UTF-8
    // with the declaration changed and a note.
    void save_encodingFollowsTheDeclaration_data()
    {
        QTest::addColumn<QByteArray>("file"); // the file before; empty for a new document
        QTest::addColumn<QString>("from");    // the text replaced (all of it when empty)
        QTest::addColumn<QString>("to");
        QTest::addColumn<QByteArray>("saved");
        QTest::addColumn<QString>("note");
        const auto utf16 = [](const QString &text) { return QByteArray("\xFF\xFE") + QStringEncoder(QStringConverter::Utf16LE).encode(text); };
        const QString cannotHold = "Saved in UTF-8: the text holds characters that %1 cannot represent; the file's declaration now says UTF-8.";
        const QString cannotWrite = "Saved in UTF-8: %1 is not an encoding Zendrik can write; the file's declaration now says UTF-8.";
        QTest::addRow("latin-1 file now declaring utf-8")
            << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>caf\xE9</a>\n") << "ISO-8859-1" << "UTF-8"
            << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a>caf\xC3\xA9</a>\n") << "";
        QTest::addRow("new document declaring latin-1")
            << QByteArray() << "" << QStringLiteral("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>café</a>")
            << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>caf\xE9</a>") << "";
        QTest::addRow("latin-1 cannot hold it")
            << QByteArray() << "" << QStringLiteral("<?xml version='1.0' encoding='ISO-8859-1'?><a>é\u6F22</a>")
            << QByteArray("<?xml version='1.0' encoding='UTF-8'?><a>\xC3\xA9\xE6\xBC\xA2</a>") << cannotHold.arg("ISO-8859-1");
        QTest::addRow("utf-7") << QByteArray() << "" << QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-7\"?>\n<a>café</a>")
                               << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a>caf\xC3\xA9</a>") << cannotWrite.arg("UTF-7");
        QTest::addRow("unknown encoding") << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>") << "UTF-8" << "x-none"
                                          << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>") << cannotWrite.arg("x-none");
        QTest::addRow("declaration dropped from windows-1252")
            << QByteArray("<?xml version='1.0' encoding='windows-1252'?><a>\x80</a>") << "<?xml version='1.0' encoding='windows-1252'?>" << ""
            << QByteArray("<a>\xE2\x82\xAC</a>") << "";
        QTest::addRow("utf-8 with a mark now declaring utf-16")
            << QByteArray("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\xC3\xA9</a>") << "UTF-8" << "UTF-16"
            << utf16(QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>é</a>")) << "";
        QTest::addRow("utf-16 with a mark, declaration dropped")
            << utf16(QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>é</a>")) << "<?xml version=\"1.0\" encoding=\"UTF-16\"?>" << ""
            << utf16(QStringLiteral("<a>é</a>")) << "";
        QTest::addRow("utf-8 mark kept under another spelling")
            << QByteArray("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<a>\xC3\xA9</a>") << "UTF-8" << "utf8"
            << QByteArray("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf8\"?>\r\n<a>\xC3\xA9</a>") << "";
        QTest::addRow("not valid utf-8, edited elsewhere")
            << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\xE9</a>") << "<a>" << "<a>x"
            << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>x\xE9</a>") << "";
    }
    void save_encodingFollowsTheDeclaration()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QByteArray, saved);
        QFETCH(QString, note);
        const QString target = path("style.xsl");
        QFile::remove(target);
        StylesheetDocument doc;
        QString error;
        if (file.isEmpty()) {
            doc.setText(Text::Stylesheet, to);
        } else {
            writeAll(target, file);
            QVERIFY(doc.loadFile(Text::Stylesheet, target, &error));
            QVERIFY(doc.text(Text::Stylesheet).contains(from));
            doc.setText(Text::Stylesheet, doc.text(Text::Stylesheet).replace(from, to));
        }
        QString told;
        QCOMPARE(doc.save(Text::Stylesheet, target, &error, &told), SaveResult::Saved);
        QCOMPARE(readAll(target), saved);
        QCOMPARE(told, note);
        // Saved again without an edit, it stays as it is now.
        QCOMPARE(doc.save(Text::Stylesheet, target, &error, &told), SaveResult::Saved);
        QCOMPARE(readAll(target), saved);
    }

    // Opening and saving without an edit writes the file's own bytes back, for every stylesheet
    // of docbook-xsl's HTML, XHTML and FO sets.
    void openThenSave_writesTheSameBytes()
    {
        const QString root = QStringLiteral("/usr/share/xml/docbook/stylesheet/docbook-xsl");
        if (!QFileInfo::exists(root + "/html"))
            QSKIP("docbook-xsl is not installed: there are no real-world stylesheets to read and write back.");
        QStringList files;
        for (const QString folder : {"html", "xhtml", "fo"})
            for (const QFileInfo &f : QDir(root + '/' + folder).entryInfoList({"*.xsl"}, QDir::Files))
                files << f.absoluteFilePath();
        QVERIFY(files.size() > 100);
        QStringList differ;
        for (const QString &original : std::as_const(files)) {
            StylesheetDocument doc;
            QString error;
            QVERIFY2(doc.loadFile(Text::Stylesheet, original, &error), qPrintable(original + ": " + error));
            QCOMPARE(doc.save(Text::Stylesheet, path("copy.xsl"), &error), SaveResult::Saved);
            if (readAll(path("copy.xsl")) != readAll(original))
                differ << original;
        }
        QVERIFY2(differ.isEmpty(), qPrintable(differ.join(", ")));
    }

    // Bad input loses nothing: a binary file is refused, an unwritable path leaves the text
    // changed under its old name, and as the parser writes it only a well-formed text is saved.
    void refusals_leaveTheDocumentAsItWas()
    {
        const QString binary = path("image.xsl");
        writeAll(binary, QByteArray("GIF89a\0\0\x01", 9));
        StylesheetDocument doc;
        QString error;
        QVERIFY(!doc.loadFile(Text::Stylesheet, binary, &error));
        QVERIFY2(error.contains(QStringLiteral("is not a text document")), qPrintable(error));
        QVERIFY(doc.fileName(Text::Stylesheet).isEmpty());

        doc.setText(Text::Source, QStringLiteral("<a>unsaved</a>"));
        QVERIFY(doc.isChanged(Text::Source));
        error.clear();
        QCOMPARE(doc.save(Text::Source, path("no/such/folder/s.xml"), &error), SaveResult::Failed);
        QVERIFY(!error.isEmpty());
        QVERIFY(doc.isChanged(Text::Source));
        QVERIFY(doc.fileName(Text::Source).isEmpty());

        doc.setKeepAsWritten(false);
        doc.setText(Text::Source, QStringLiteral("<a>"));
        const QString target = path("malformed.xml");
        QCOMPARE(doc.save(Text::Source, target, &error), SaveResult::NotWellFormed);
        QVERIFY(!QFile::exists(target));
        QString reason;
        QVERIFY(!doc.checkWellFormed(Text::Source, &reason));
        QVERIFY(!reason.isEmpty());
    }

    // Parsing on edit: a verdict per text, a small text at once, a large one beside the caller
    // (Checking until its verdict comes); no source at all is nothing to complain about.
    void parseOnEdit_givesANamedVerdict()
    {
        StylesheetDocument doc;
        QSignalSpy verdicts(&doc, &StylesheetDocument::verdictChanged);
        doc.setText(Text::Stylesheet, QStringLiteral("<a>"));
        QCOMPARE(doc.verdict(Text::Stylesheet), Verdict::WellFormed); // parsing on edit is off
        QCOMPARE(verdicts.size(), 0);

        doc.setAutoParse(true);
        doc.setText(Text::Stylesheet, QStringLiteral("<a>\n<b></a>"));
        QCOMPARE(doc.verdict(Text::Stylesheet), Verdict::Malformed);
        QCOMPARE(doc.parseError(Text::Stylesheet).line, 2);
        QCOMPARE(doc.verdict(Text::Source), Verdict::WellFormed);
        doc.setText(Text::Source, QStringLiteral("   "));
        QCOMPARE(doc.verdict(Text::Source), Verdict::WellFormed);

        QString large = QStringLiteral("<a>") + QString(StylesheetDocument::kParseInlineBytes, QLatin1Char('x'));
        doc.setText(Text::Source, large + QStringLiteral("</b>"));
        QCOMPARE(doc.verdict(Text::Source), Verdict::Checking);
        QTRY_COMPARE_WITH_TIMEOUT(doc.verdict(Text::Source), Verdict::Malformed, 10000);
        // Only the verdict on the latest text counts.
        doc.setText(Text::Source, large + QStringLiteral("</c>"));
        doc.setText(Text::Source, large + QStringLiteral("</a>"));
        QTRY_COMPARE_WITH_TIMEOUT(doc.verdict(Text::Source), Verdict::WellFormed, 10000);
        QTest::qWait(200);
        QCOMPARE(doc.verdict(Text::Source), Verdict::WellFormed);
        QCOMPARE(doc.verdict(Text::Stylesheet), Verdict::Malformed);
    }

    // A well-formed stylesheet is compiled a moment later; what it finds goes when the text
    // stops being well-formed.
    void compileCheck_followsTheStylesheet()
    {
        StylesheetDocument doc;
        doc.setAutoParse(true);
        doc.setCheckPause(0);
        QSignalSpy checked(&doc, &StylesheetDocument::compileChecked);
        doc.setText(Text::Stylesheet, QStringLiteral("<xsl:stylesheet xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" version=\"1.0\">"
                                                     "<xsl:include href=\"no-such-module.xsl\"/></xsl:stylesheet>"));
        QTRY_VERIFY_WITH_TIMEOUT(!doc.compileDiagnostics().isEmpty(), 15000);
        const Diagnostic first = doc.compileDiagnostics().first();
        QCOMPARE(first.origin, Diagnostic::Origin::Compilation);
        QVERIFY2(first.message.contains(QStringLiteral("no-such-module.xsl")), qPrintable(first.message));
        doc.setText(Text::Stylesheet, QStringLiteral("<xsl:stylesheet"));
        QVERIFY(doc.compileDiagnostics().isEmpty());
        QVERIFY(checked.size() >= 2);
    }

    // The live render goes to the engine with the texts and parameters as they are; only the
    // answer to the newest request counts.
    void livePreview_answersTheNewestRequest()
    {
        StylesheetDocument doc;
        doc.setText(Text::Stylesheet, kStylesheet);
        doc.setText(Text::Source, QStringLiteral("<r><i/><i/></r>"));
        doc.setParameters({{QStringLiteral("who"), QStringLiteral("world"), false}});
        QList<engine::Response> answers;
        connect(&doc, &StylesheetDocument::liveAnswered, this, [&](const engine::Response &r) { answers << r; });
        doc.requestLivePreview();
        doc.setText(Text::Source, QStringLiteral("<r><i/><i/><i/></r>"));
        doc.requestLivePreview();
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(answers.cbegin(), answers.cend(), [&](const engine::Response &r) { return doc.isLatestLive(r); }), 15000);
        const auto latest = std::find_if(answers.cbegin(), answers.cend(), [&](const engine::Response &r) { return doc.isLatestLive(r); });
        QVERIFY2(latest->result.page.contains("Hello world, 3"), latest->result.page.constData());
        QCOMPARE(std::count_if(answers.cbegin(), answers.cend(), [&](const engine::Response &r) { return doc.isLatestLive(r); }), 1);
    }

    // A 2.0 or 3.0 stylesheet renders in Saxon-HE, a 1.0 one in libxslt; a chosen processor
    // runs every stylesheet.
    void processors_byVersionOrChoice()
    {
        const QByteArray v3 = "<xsl:stylesheet xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" version=\"3.0\" expand-text=\"yes\">"
                              "<xsl:output method=\"text\"/><xsl:template match=\"/\">{string-join(//i, '+')}</xsl:template></xsl:stylesheet>";
        StylesheetDocument doc;
        QCOMPARE(doc.processorFor(kStylesheet.toUtf8()), engine::Processor::Libxslt);
        QCOMPARE(doc.processorFor("<?xml version=\"1.0\"?>\n<!-- 2.0 later -->\n<html xsl:version=\"2.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"/>"),
                 StylesheetDocument::saxonAvailable() ? engine::Processor::Saxon : engine::Processor::Libxslt);
        doc.setProcessorChoice(StylesheetDocument::ProcessorChoice::Libxslt);
        QCOMPARE(doc.processorFor(v3), engine::Processor::Libxslt);
        doc.setProcessorChoice(StylesheetDocument::ProcessorChoice::Automatic);
        if (!StylesheetDocument::saxonAvailable())
            QSKIP("Saxon-HE cannot run here: the 3.0 render is not tried.");
        QCOMPARE(doc.processorFor(v3), engine::Processor::Saxon);
        doc.setText(Text::Stylesheet, QString::fromUtf8(v3));
        doc.setText(Text::Source, QStringLiteral("<r><i>a</i><i>b</i></r>"));
        QList<engine::Response> answers;
        connect(&doc, &StylesheetDocument::liveAnswered, this, [&](const engine::Response &r) { answers << r; });
        doc.requestLivePreview();
        QTRY_VERIFY_WITH_TIMEOUT(!answers.isEmpty(), 30000);
        QVERIFY2(answers.first().result.ok, qPrintable(answers.first().result.text));
        QCOMPARE(answers.first().result.page, QByteArray("a+b"));
        QVERIFY2(answers.first().engine.startsWith("Saxon-HE 9."), qPrintable(answers.first().engine));

        // The check while typing goes to Saxon too: a 3.0 static error at its line and column.
        doc.setAutoParse(true);
        doc.setCheckPause(0);
        doc.setText(Text::Stylesheet, QString::fromUtf8(v3).replace("string-join(//i, '+')", "\nstring-join(//i, $undeclared)"));
        QTRY_VERIFY_WITH_TIMEOUT(!doc.compileDiagnostics().isEmpty(), 30000);
        const Diagnostic d = doc.compileDiagnostics().first();
        QVERIFY2(d.message.contains("undeclared") && d.line == 2 && d.column > 0, qPrintable(QString::number(d.line) + ": " + d.message));
    }

    // Where Saxon-HE is missing, a 2.0 stylesheet runs in libxslt and the document says once
    // what to install; a 1.0 stylesheet, or libxslt chosen, says nothing.
    void saxonMissing_hintsWhatToInstall()
    {
        const bool here = StylesheetDocument::saxonAvailable();
        StylesheetDocument::setSaxonAvailable(false);
        StylesheetDocument doc;
        doc.setAutoParse(true);
        doc.setCheckPause(0);
        QSignalSpy hints(&doc, &StylesheetDocument::processorHintChanged);
        const QString v2 = QStringLiteral("<xsl:stylesheet xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" version=\"2.0\"/>");
        doc.setText(Text::Stylesheet, v2);
        QTRY_COMPARE(hints.size(), 1);
        QCOMPARE(doc.processorHint(), QStringLiteral("This stylesheet is XSLT 2.0, which libxslt runs only as far as XSLT 1.0 goes. "
                                                     "Install default-jre-headless libsaxonhe-java to run it in Saxon-HE."));
        QCOMPARE(doc.processorFor(v2.toUtf8()), engine::Processor::Libxslt);
        doc.setText(Text::Stylesheet, v2 + QStringLiteral(" "));
        QTest::qWait(50);
        QCOMPARE(hints.size(), 1); // said once
        doc.setText(Text::Stylesheet, kStylesheet);
        QTRY_COMPARE(hints.size(), 2);
        QVERIFY(doc.processorHint().isEmpty());
        doc.setProcessorChoice(StylesheetDocument::ProcessorChoice::Libxslt);
        doc.setText(Text::Stylesheet, v2);
        QTest::qWait(50);
        QVERIFY(doc.processorHint().isEmpty());
        StylesheetDocument::setSaxonAvailable(here);
    }

    // A stylesheet past the limit is not compiled while typed into (its errors of an earlier
    // check go, as they may no longer hold), and the document says so.
    void largeStylesheet_isNotCheckedWhileTyping()
    {
        StylesheetDocument doc;
        doc.setAutoParse(true);
        doc.setCheckPause(0);
        doc.setText(Text::Stylesheet, QString(kStylesheet).replace("</xsl:stylesheet>", "<xsl:bogus/></xsl:stylesheet>"));
        QTRY_VERIFY_WITH_TIMEOUT(!doc.compileDiagnostics().isEmpty(), 20000);
        QCOMPARE(doc.processorHint(), QString());
        const QString large = QString(kStylesheet).replace("</xsl:stylesheet>", "<xsl:bogus/><!--" + QString(3 << 20, 'x') + "--></xsl:stylesheet>");
        doc.setCheckLimit(2 << 20);
        doc.setText(Text::Stylesheet, large);
        QTRY_COMPARE(doc.processorHint(), QStringLiteral("This stylesheet (3 MB) is too large to be compiled while you type; a preview "
                                                         "compiles it and shows its errors."));
        QVERIFY(doc.compileDiagnostics().isEmpty());
        doc.setCheckLimit(StylesheetDocument::kCheckLimitBytes);
        doc.setText(Text::Stylesheet, large + QStringLiteral(" "));
        QTRY_VERIFY_WITH_TIMEOUT(!doc.compileDiagnostics().isEmpty(), 20000);
        QCOMPARE(doc.processorHint(), QString());
    }

    // The copy of unsaved work: made a moment after an edit, restored as it was (texts, changed
    // states, formats, names), and gone once everything is saved.
    void recovery_keepsAndRestoresUnsavedWork()
    {
        const QString file = path("kept.xsl");
        writeAll(file, "<x>\r\n</x>\r\n");
        StylesheetDocument doc;
        QString error;
        QVERIFY(doc.loadFile(Text::Stylesheet, file, &error));
        doc.setText(Text::Stylesheet, QStringLiteral("<x>edited</x>\r\n"));
        doc.setText(Text::Source, QStringLiteral("<src/>"));
        doc.writeRecoveryCopy();
        QVERIFY(recoveryFiles(doc) > 0);

        const RecoveryEntry kept = doc.recoveryEntry();
        QCOMPARE(kept.caption, file);
        StylesheetDocument restored;
        QVERIFY(restored.restore(kept).isEmpty()); // the source came with the copy
        QCOMPARE(restored.text(Text::Stylesheet), QStringLiteral("<x>edited</x>\r\n"));
        QCOMPARE(restored.text(Text::Source), QStringLiteral("<src/>"));
        QVERIFY(restored.isChanged(Text::Stylesheet) && restored.isChanged(Text::Source));
        QCOMPARE(restored.format(Text::Stylesheet).lineBreak, QByteArray("\r\n"));
        QCOMPARE(restored.fileName(Text::Stylesheet), file);
        restored.setRecoveryEnabled(false);

        // A source kept unchanged is read again from its file, never from an address.
        RecoveryEntry unchangedSource = kept;
        unchangedSource.sourceChanged = false;
        unchangedSource.sourceFileName = path("source.xml");
        QCOMPARE(StylesheetDocument().restore(unchangedSource), path("source.xml"));
        unchangedSource.sourceFileName = QStringLiteral("http://example.org/source.xml");
        QVERIFY(StylesheetDocument().restore(unchangedSource).isEmpty());

        QCOMPARE(doc.save(Text::Stylesheet, file, &error), SaveResult::Saved);
        QVERIFY(recoveryFiles(doc) > 0); // the source is still unsaved
        QCOMPARE(doc.save(Text::Source, path("src.xml"), &error), SaveResult::Saved);
        QCOMPARE(recoveryFiles(doc), 0);
    }
};

QTEST_GUILESS_MAIN(TstModel)
#include "tst_model.moc"
