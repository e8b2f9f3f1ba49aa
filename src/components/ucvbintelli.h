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

    // Reads the element names from path. A missing or broken file leaves the list empty and
    // returns false; it never throws.
    bool LoadDefinitions(const QString &path);
    QStringList definitions() const;

    // Shows the list at the editor's caret and gives it the keyboard focus.
    void ShowTagList();

signals:
    void ItemChosen(const QString &name);
    void ListClosed();

private:
    // implementation detail chosen by the implementer
    struct Impl;
    Impl *d;
};
