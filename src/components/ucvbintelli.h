#pragma once

#include <QFrame>
#include <QStringList>

class QLineEdit;
class QListWidget;
class SyntaxBox;

// The tag-completion list of the stylesheet pane. It lies on the page above the editor and,
// when shown, offers the XSLT element names read from a definitions file. Typing filters the
// list; Enter, Tab or a double click chooses; Escape or leaving the list closes it.
class ucVBIntelli : public QFrame
{
    Q_OBJECT
public:
    explicit ucVBIntelli(QWidget *parent = nullptr);

    // The editor whose caret the list appears at and whose focus it returns to.
    void setEditor(SyntaxBox *editor);

    // Reads the element names from path: <elements><element name="xsl:template"/>...</elements>,
    // offered in file order. A missing or broken file leaves the list empty and returns false;
    // it never throws and prints nothing.
    bool LoadDefinitions(const QString &path);
    QStringList definitions() const;

    // Shows the list below the editor's caret line and gives it the keyboard focus. With no
    // definitions loaded it does nothing and raises nothing: there is no list to close.
    //
    // Typed name characters filter by prefix of the name or of its local part, case-insensitive.
    // Enter, Return, Tab or a double click raise ItemChosen, then ListClosed. Escape, a
    // character that cannot occur in a name, or the focus moving elsewhere close the list with
    // ListClosed alone; what was typed into the filter is then written into the editor, so no
    // keystroke is lost, and the closing key goes on to the editor. The focus returns to the
    // editor in every case.
    void ShowTagList();

signals:
    void ItemChosen(const QString &name);
    void ListClosed();

private:
    bool eventFilter(QObject *watched, QEvent *event) override;

    struct Impl;
    Impl *d;
};
