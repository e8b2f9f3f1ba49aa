#pragma once

#include <QFrame>
#include <QList>
#include <QStringList>

class QLineEdit;
class QListWidget;
class SyntaxBox;

// The tag-completion list of the stylesheet pane. It lies on the page above the editor and,
// when shown, offers the XSLT element names read from a definitions file. Typing filters the
// list; Enter, Tab or a double click chooses; Escape or leaving the list closes it.
class TagCompletionList : public QFrame
{
    Q_OBJECT
public:
    explicit TagCompletionList(QWidget *parent = nullptr);

    // The editor whose caret the list appears at and whose focus it returns to.
    void setEditor(SyntaxBox *editor);

    // Reads the element names from path: <elements><element name="xsl:template"/>...</elements>,
    // offered in file order. A missing or broken file leaves the list empty and returns false;
    // it never throws and prints nothing.
    bool loadDefinitions(const QString &path);
    QStringList definitions() const;

    // An element's attributes as the definitions file lists them under it:
    // <element name="xsl:if"><attribute name="test" required="yes"/></element>. Required ones
    // come first.
    struct Attribute {
        QString name;
        bool required = false;
    };
    QList<Attribute> attributesOf(const QString &element) const;

    // What the list offers in its current (or last) showing.
    enum class Mode { Elements, Attributes };
    Mode mode() const;

    // Shows the attributes of element that the tag does not have yet, the required ones first and
    // bold, as showTagList shows the elements. Returns false, showing nothing, when there are none.
    bool showAttributeList(const QString &element, const QStringList &present);

    // Shows the list below the editor's caret line and gives it the keyboard focus. With no
    // definitions loaded it does nothing and raises nothing: there is no list to close.
    //
    // Typed name characters filter by prefix of the name or of its local part, case-insensitive;
    // once nothing matches, the list closes as Escape closes it.
    // Enter, Return, Tab or a double click raise itemChosen, then listClosed. Escape, a
    // character that cannot occur in a name, or the focus moving elsewhere close the list with
    // listClosed alone; what was typed into the filter is then written into the editor, so no
    // keystroke is lost, and the closing key goes on to the editor. The focus returns to the
    // editor in every case.
    void showTagList();

signals:
    void itemChosen(const QString &name);
    void listClosed();

private:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void popUp(const QStringList &entries);

    struct Impl;
    Impl *d;
};
