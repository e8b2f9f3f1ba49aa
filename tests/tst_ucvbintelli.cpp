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

} // namespace

struct DefinitionsCase {
    QByteArray content;
    QStringList names;
    int count;
};
Q_DECLARE_METATYPE(DefinitionsCase)

struct TagListCase {
    QString typed;
    QStringList shown;
    QList<int> keys;
    QString chosen;
    QString inserted;
};
Q_DECLARE_METATYPE(TagListCase)

class TstUcVBIntelli : public QObject
{
    Q_OBJECT

private slots:
    // content: "shipped" for the file that comes with the program, empty for no file at all.
    // A file that cannot be read leaves the list empty, also of what an earlier load gave.
    void loadDefinitions_data()
    {
        QTest::addColumn<DefinitionsCase>("c");
        QTest::addRow("shipped file") << DefinitionsCase{QByteArray("shipped"), QStringList{"xsl:apply-imports", "xsl:apply-templates"}, 35};
        QTest::addRow("file order, not sorted") << DefinitionsCase{QByteArray("<elements><element name=\"xsl:if\"/><element name=\"xsl:choose\"/></elements>"), QStringList{"xsl:if", "xsl:choose"}, 2};
        QTest::addRow("missing file") << DefinitionsCase{QByteArray(), QStringList(), 0};
        QTest::addRow("not XML") << DefinitionsCase{QByteArray("xsl:template\nxsl:value-of\n"), QStringList(), 0};
        QTest::addRow("cut off") << DefinitionsCase{QByteArray("<elements><element name=\"xsl:if\"/><element name="), QStringList(), 0};
        QTest::addRow("unclosed root") << DefinitionsCase{QByteArray("<elements><element name=\"xsl:if\"/>"), QStringList(), 0};
        QTest::addRow("other root") << DefinitionsCase{QByteArray("<names><element name=\"xsl:if\"/></names>"), QStringList(), 0};
    }
    void loadDefinitions()
    {
        QFETCH(DefinitionsCase, c);
        auto [content, names, count] = c;
        QTemporaryDir dir;
        QString path = dir.filePath(QStringLiteral("W3C_XSLT_10.xml"));
        if (content == "shipped") {
            path = shippedDefinitions();
        } else if (!content.isEmpty()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
        }
        ucVBIntelli intelli;
        QVERIFY(intelli.LoadDefinitions(shippedDefinitions()));
        g_messages.clear();
        QtMessageHandler previous = qInstallMessageHandler(collectMessage);
        const bool loaded = intelli.LoadDefinitions(path);
        qInstallMessageHandler(previous);
        QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join('\n')));
        QCOMPARE(loaded, count > 0);
        QCOMPARE(intelli.definitions().size(), count);
        QCOMPARE(intelli.definitions().mid(0, names.size()), names);
    }

    void showTagList_withoutDefinitionsShowsNothing()
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

    // "<" typed after non-ASCII text opens the list with the focus; what is typed then filters
    // it and stays out of the text; keys then move, choose or close. keys: 0 moves the focus
    // elsewhere, -1 double-clicks the current item. chosen: empty when the list just closes.
    void tagList_filterThenClose_data()
    {
        QTest::addColumn<TagListCase>("c");
ucVBIntelli all;
        all.LoadDefinitions(shippedDefinitions());
        const QStringList te{"xsl:template", "xsl:text"};
        QTest::addRow("Up from the top stays on the first") << TagListCase{"", all.definitions(), QList<int>{Qt::Key_Down, Qt::Key_Down, Qt::Key_Up, Qt::Key_Up, Qt::Key_Up, Qt::Key_Tab}, "xsl:apply-imports", ""};
        QTest::addRow("full prefix, Return") << TagListCase{"xsl:te", te, QList<int>{Qt::Key_Return}, "xsl:template", ""};
        QTest::addRow("Down past the end stays on the last") << TagListCase{"xsl:te", te, QList<int>{Qt::Key_Down, Qt::Key_Down, Qt::Key_Down, Qt::Key_Enter}, "xsl:text", ""};
        QTest::addRow("upper case") << TagListCase{"XSL:VAL", QStringList{"xsl:value-of"}, QList<int>{Qt::Key_Return}, "xsl:value-of", ""};
        QTest::addRow("local name") << TagListCase{"with", QStringList{"xsl:with-param"}, QList<int>{Qt::Key_Tab}, "xsl:with-param", ""};
        QTest::addRow("double click") << TagListCase{"xsl:v", QStringList{"xsl:value-of", "xsl:variable"}, QList<int>{Qt::Key_Down, -1}, "xsl:variable", ""};
        QTest::addRow("Escape") << TagListCase{"apply-t", QStringList{"xsl:apply-templates"}, QList<int>{Qt::Key_Escape}, "", "<apply-t"};
        QTest::addRow("Escape at once") << TagListCase{"", all.definitions(), QList<int>{Qt::Key_Escape}, "", "<"};
        QTest::addRow("Return with no match") << TagListCase{"xsl:zz", QStringList(), QList<int>{Qt::Key_Return}, "", "<xsl:zz\n"};
        QTest::addRow("space goes on to the editor") << TagListCase{"b", QStringList(), QList<int>{Qt::Key_Space}, "", "<b "};
        QTest::addRow("greater-than goes on to the editor") << TagListCase{"br", QStringList(), QList<int>{Qt::Key_Greater}, "", "<br>"};
        QTest::addRow("Backspace past the filter") << TagListCase{"", all.definitions(), QList<int>{Qt::Key_Backspace}, "", ""};
        QTest::addRow("focus moves elsewhere") << TagListCase{"xsl:in", QStringList{"xsl:include"}, QList<int>{0}, "", "<xsl:in"};
    }
    void tagList_filterThenClose()
    {
        QFETCH(TagListCase, c);
        auto [typed, shown, keys, chosen, inserted] = c;
        Page p;
        QVERIFY(p.intelli->LoadDefinitions(shippedDefinitions()));
        QVERIFY(p.show());
        p.editor->setText(QString::fromUtf8("\u00e9\u2192 !"));
        p.editor->setSelStart(3);
        QTest::keyClicks(p.editor, "<");
        QVERIFY(p.intelli->isVisible());
        QVERIFY(p.listHasFocus());
        QTest::keyClicks(p.focus(), typed);
        QCOMPARE(p.shownItems(), shown);
        QCOMPARE(p.currentItem(), shown.value(0));
        QCOMPARE(p.editor->Text(), QString::fromUtf8("\u00e9\u2192 <!"));
        QVERIFY(p.log.isEmpty());

        for (int key : keys) {
            if (key == 0) {
                p.elsewhere->setFocus();
            } else if (key == -1) {
                const QPoint at = p.list()->visualItemRect(p.list()->currentItem()).center();
                // A real double click: the first click, then the second one that Qt reports as double.
                QTest::mouseClick(p.list()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
                QTest::mouseDClick(p.list()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
            } else {
                QTest::keyClick(p.focus(), Qt::Key(key));
            }
        }
        if (!chosen.isEmpty())
            inserted = QStringLiteral("<%1></%1>").arg(chosen);
        QCOMPARE(p.log, (chosen.isEmpty() ? QStringList{"ListClosed"} : QStringList{"ItemChosen " + chosen, "ListClosed"}));
        QCOMPARE(p.editor->Text(), QString::fromUtf8("\u00e9\u2192 ") + inserted + QStringLiteral("!"));
        QVERIFY(!p.intelli->isVisible());
        QCOMPARE(p.focus(), keys.contains(0) ? static_cast<QWidget *>(p.elsewhere) : p.editor);
        if (!keys.contains(0))
            QCOMPARE(p.editor->SelStart(), 3 + inserted.size());
    }
};

ZENDRIK_TEST_MAIN(TstUcVBIntelli)
#include "tst_ucvbintelli.moc"
