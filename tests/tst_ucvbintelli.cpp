#include "components/syntaxbox.h"
#include "components/ucvbintelli.h"
#include "support/testmain.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

namespace {

QStringList g_messages;
void collectMessage(QtMsgType, const QMessageLogContext &, const QString &text)
{
    g_messages << text;
}

QString shippedDefinitions()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/W3C_XSLT_10.xml");
}

// The stylesheet page as the document window builds it: the editor fills the page, the list
// lies over it, and "<" typed in the editor opens the list.
struct Page {
    QWidget page;
    SyntaxBox *editor;
    QLineEdit *elsewhere;
    ucVBIntelli *intelli;
    QStringList log; // signals in the order they arrived

    Page()
    {
        auto *layout = new QVBoxLayout(&page);
        editor = new SyntaxBox(&page);
        elsewhere = new QLineEdit(&page);
        layout->addWidget(editor);
        layout->addWidget(elsewhere);
        intelli = new ucVBIntelli(&page);
        intelli->setEditor(editor);
        QObject::connect(editor, &SyntaxBox::characterTyped, intelli, [this](int &code) {
            if (code == '<')
                intelli->ShowTagList();
        });
        QObject::connect(intelli, &ucVBIntelli::ItemChosen, intelli, [this](const QString &name) {
            log << QStringLiteral("ItemChosen ") + name;
            editor->setSelText(name + QStringLiteral("></") + name + QStringLiteral(">"));
        });
        QObject::connect(intelli, &ucVBIntelli::ListClosed, intelli, [this] {
            log << QStringLiteral("ListClosed");
            editor->raise();
        });
    }

    bool show()
    {
        page.resize(600, 400);
        page.show();
        page.activateWindow();
        if (!QTest::qWaitForWindowActive(&page))
            return false;
        editor->setFocus();
        return true;
    }

    QListWidget *list() const { return intelli->findChild<QListWidget *>(); }
    QStringList shownItems() const
    {
        QStringList names;
        for (int i = 0; i < list()->count(); ++i)
            if (!list()->item(i)->isHidden())
                names << list()->item(i)->text();
        return names;
    }
    QString currentItem() const { return list()->currentItem() ? list()->currentItem()->text() : QString(); }
    QWidget *focus() const { return QApplication::focusWidget(); }
    bool listHasFocus() const { return focus() && intelli->isAncestorOf(focus()); }
};

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

} // namespace

class TstUcVBIntelli : public QObject
{
    Q_OBJECT

private slots:
    void loadDefinitions_shippedFileHasTheXsltElements();
    void loadDefinitions_rejectsUnreadableFiles_data();
    void loadDefinitions_rejectsUnreadableFiles();
    void showTagList_withoutDefinitionsShowsNothing();
    void showTagList_opensBelowTheCaretWithFocus();
    void filter_byPrefixIgnoringCase_data();
    void filter_byPrefixIgnoringCase();
    void choose_insertsCompletionThenCloses_data();
    void choose_insertsCompletionThenCloses();
    void close_keepsWhatWasTyped_data();
    void close_keepsWhatWasTyped();
};

void TstUcVBIntelli::loadDefinitions_shippedFileHasTheXsltElements()
{
    ucVBIntelli intelli;
    QVERIFY(intelli.LoadDefinitions(shippedDefinitions()));
    const QStringList names = intelli.definitions();
    QCOMPARE(names.size(), 35);
    QStringList sorted = names;
    sorted.sort();
    QCOMPARE(names, sorted);
    for (const char *local : {"apply-imports", "attribute-set", "choose", "decimal-format", "for-each",
                              "namespace-alias", "processing-instruction", "stylesheet", "template",
                              "transform", "value-of", "with-param"})
        QVERIFY2(names.contains(QStringLiteral("xsl:") + QLatin1String(local)), local);
    for (const QString &n : names)
        QVERIFY2(n.startsWith(QStringLiteral("xsl:")), qPrintable(n));
}

void TstUcVBIntelli::loadDefinitions_rejectsUnreadableFiles_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file at all
    QTest::addRow("missing file") << QByteArray();
    QTest::addRow("blank file") << QByteArray(" \n");
    QTest::addRow("not XML") << QByteArray("xsl:template\nxsl:value-of\n");
    QTest::addRow("cut off") << QByteArray("<elements><element name=\"xsl:if\"/><element name=");
    QTest::addRow("unclosed root") << QByteArray("<elements><element name=\"xsl:if\"/>");
    QTest::addRow("other root") << QByteArray("<names><element name=\"xsl:if\"/></names>");
}

void TstUcVBIntelli::loadDefinitions_rejectsUnreadableFiles()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("W3C_XSLT_10.xml"));
    if (!content.isEmpty())
        writeFile(path, content);

    ucVBIntelli intelli;
    QVERIFY(intelli.LoadDefinitions(shippedDefinitions()));
    g_messages.clear();
    QtMessageHandler previous = qInstallMessageHandler(collectMessage);
    const bool loaded = intelli.LoadDefinitions(path);
    qInstallMessageHandler(previous);
    QVERIFY(!loaded);
    QVERIFY(intelli.definitions().isEmpty()); // the earlier list is gone too
    QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join('\n')));
}

void TstUcVBIntelli::showTagList_withoutDefinitionsShowsNothing()
{
    Page p;
    QVERIFY(!p.intelli->LoadDefinitions(QStringLiteral("/nonexistent/W3C_XSLT_10.xml")));
    QVERIFY(p.show());
    QSignalSpy closed(p.intelli, &ucVBIntelli::ListClosed);
    QTest::keyClicks(p.editor, "<a");
    QVERIFY(!p.intelli->isVisible());
    QCOMPARE(p.focus(), p.editor);
    QCOMPARE(p.editor->Text(), QStringLiteral("<a"));
    QCOMPARE(closed.count(), 0);
}

void TstUcVBIntelli::showTagList_opensBelowTheCaretWithFocus()
{
    Page p;
    QVERIFY(p.intelli->LoadDefinitions(shippedDefinitions()));
    QVERIFY(p.show());
    p.editor->setText("<xsl:stylesheet>\n  \n</xsl:stylesheet>");
    p.editor->setSelStart(19);
    QVERIFY(!p.intelli->isVisible());

    QTest::keyClicks(p.editor, "<");
    QVERIFY(p.intelli->isVisible());
    QVERIFY(p.listHasFocus());
    QCOMPARE(p.editor->Text(), QStringLiteral("<xsl:stylesheet>\n  <\n</xsl:stylesheet>"));
    QCOMPARE(p.shownItems().size(), 35);
    QCOMPARE(p.currentItem(), QStringLiteral("xsl:apply-imports"));

    // Just below the caret's line, starting at the caret, and above the editor.
    const long pos = p.editor->SendScintilla(QsciScintillaBase::SCI_GETCURRENTPOS) - 1; // the "<"
    const QPoint caret = p.editor->viewport()->mapTo(
        &p.page, QPoint(int(p.editor->SendScintilla(QsciScintillaBase::SCI_POINTXFROMPOSITION, 0UL, pos)),
                        int(p.editor->SendScintilla(QsciScintillaBase::SCI_POINTYFROMPOSITION, 0UL, pos))));
    const int lineHeight = int(p.editor->SendScintilla(QsciScintillaBase::SCI_TEXTHEIGHT, 1));
    QCOMPARE(p.intelli->x(), caret.x());
    QCOMPARE(p.intelli->y(), caret.y() + lineHeight);
    QVERIFY(p.page.children().indexOf(p.intelli) > p.page.children().indexOf(p.editor));
}

void TstUcVBIntelli::filter_byPrefixIgnoringCase_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("shown");
    QTest::addRow("full prefix") << "xsl:te" << QStringList{"xsl:template", "xsl:text"};
    QTest::addRow("upper case") << "XSL:VAL" << QStringList{"xsl:value-of"};
    QTest::addRow("local name") << "with" << QStringList{"xsl:with-param"};
    QTest::addRow("hyphenated") << "apply-t" << QStringList{"xsl:apply-templates"};
    QTest::addRow("no match") << "xsl:zz" << QStringList{};
}

void TstUcVBIntelli::filter_byPrefixIgnoringCase()
{
    QFETCH(QString, typed);
    QFETCH(QStringList, shown);
    Page p;
    QVERIFY(p.intelli->LoadDefinitions(shippedDefinitions()));
    QVERIFY(p.show());
    QTest::keyClicks(p.editor, "<");
    QTest::keyClicks(p.focus(), typed);
    QVERIFY(p.intelli->isVisible());
    QCOMPARE(p.shownItems(), shown);
    QCOMPARE(p.currentItem().isEmpty() ? QString() : p.currentItem(), shown.value(0));
    QCOMPARE(p.editor->Text(), QStringLiteral("<")); // the filter's letters stay out of the text
    QVERIFY(p.log.isEmpty());
}

void TstUcVBIntelli::choose_insertsCompletionThenCloses_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("downs");
    QTest::addColumn<int>("ups");
    QTest::addColumn<QString>("how"); // a key name, or "double-click"
    QTest::addColumn<QString>("chosen");
    QTest::addRow("Return on the first match") << "xsl:te" << 0 << 0 << "Return" << "xsl:template";
    QTest::addRow("Down then Enter") << "xsl:te" << 1 << 0 << "Enter" << "xsl:text";
    QTest::addRow("Down past the end stays on the last") << "xsl:te" << 5 << 0 << "Tab" << "xsl:text";
    QTest::addRow("Up from the top stays on the first") << "" << 2 << 3 << "Return" << "xsl:apply-imports";
    QTest::addRow("double click") << "xsl:v" << 1 << 0 << "double-click" << "xsl:variable";
}

void TstUcVBIntelli::choose_insertsCompletionThenCloses()
{
    QFETCH(QString, typed);
    QFETCH(int, downs);
    QFETCH(int, ups);
    QFETCH(QString, how);
    QFETCH(QString, chosen);
    Page p;
    QVERIFY(p.intelli->LoadDefinitions(shippedDefinitions()));
    QVERIFY(p.show());
    p.editor->setText(QString::fromUtf8("\u00e9\u2192 "));
    p.editor->setSelStart(3);
    QTest::keyClicks(p.editor, "<");
    QTest::keyClicks(p.focus(), typed);
    for (int i = 0; i < downs; ++i)
        QTest::keyClick(p.focus(), Qt::Key_Down);
    for (int i = 0; i < ups; ++i)
        QTest::keyClick(p.focus(), Qt::Key_Up);

    if (how == "double-click") {
        QListWidgetItem *item = p.list()->currentItem();
        QVERIFY(item);
        const QPoint at = p.list()->visualItemRect(item).center();
        // A real double click: the first click, then the second one that Qt reports as double.
        QTest::mouseClick(p.list()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QTest::mouseDClick(p.list()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    } else {
        const Qt::Key key = how == "Return" ? Qt::Key_Return : how == "Enter" ? Qt::Key_Enter : Qt::Key_Tab;
        QTest::keyClick(p.focus(), key);
    }

    QCOMPARE(p.log, (QStringList{QStringLiteral("ItemChosen ") + chosen, QStringLiteral("ListClosed")}));
    QCOMPARE(p.editor->Text(), QString::fromUtf8("\u00e9\u2192 <%1></%1>").arg(chosen));
    QVERIFY(!p.intelli->isVisible());
    QCOMPARE(p.focus(), p.editor);
}

void TstUcVBIntelli::close_keepsWhatWasTyped_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("expected");
    QTest::addRow("Escape") << "xsl:va" << "Escape" << "<xsl:va";
    QTest::addRow("Escape at once") << "" << "Escape" << "<";
    QTest::addRow("space goes on to the editor") << "b" << "Space" << "<b ";
    QTest::addRow("greater-than goes on to the editor") << "br" << "Greater" << "<br>";
    QTest::addRow("Return with no match") << "qq" << "Return" << "<qq\n";
    QTest::addRow("Backspace past the filter") << "" << "Backspace" << "";
    QTest::addRow("focus moves elsewhere") << "xsl:i" << "focus" << "<xsl:i";
}

void TstUcVBIntelli::close_keepsWhatWasTyped()
{
    QFETCH(QString, typed);
    QFETCH(QString, how);
    QFETCH(QString, expected);
    Page p;
    QVERIFY(p.intelli->LoadDefinitions(shippedDefinitions()));
    QVERIFY(p.show());
    QTest::keyClicks(p.editor, "<");
    QTest::keyClicks(p.focus(), typed);
    QVERIFY(p.listHasFocus());

    if (how == "focus") {
        p.elsewhere->setFocus();
    } else {
        const Qt::Key key = how == "Escape"    ? Qt::Key_Escape
                            : how == "Space"   ? Qt::Key_Space
                            : how == "Greater" ? Qt::Key_Greater
                            : how == "Return"  ? Qt::Key_Return
                                               : Qt::Key_Backspace;
        QTest::keyClick(p.focus(), key);
    }

    QCOMPARE(p.log, QStringList{QStringLiteral("ListClosed")});
    QCOMPARE(p.editor->Text(), expected);
    QVERIFY(!p.intelli->isVisible());
    QCOMPARE(p.focus(), how == "focus" ? static_cast<QWidget *>(p.elsewhere) : p.editor);
    if (how != "focus")
        QCOMPARE(p.editor->SelStart(), expected.size());
}

ZENDRIK_TEST_MAIN(TstUcVBIntelli)
#include "tst_ucvbintelli.moc"
