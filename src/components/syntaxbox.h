#pragma once

#include <QFont>
#include <QUrl>

#include <Qsci/qsciscintilla.h>
#include <QString>

// The syntax-colouring edit control used for both panes of a document window: a QScintilla
// editor with our XML lexer (XmlLexer), which knows XSLT and the XPath in its attributes.
//
// Every position and length here counts characters of text() (UTF-16 code units of the
// QString), never Scintilla's UTF-8 bytes. Colours are 0x00BBGGRR integers.
class SyntaxBox : public QsciScintilla
{
    Q_OBJECT
public:
    // The font an editor starts in, when no other is stored: the system's fixed-width font at
    // its own size.
    static QFont defaultFont();
    explicit SyntaxBox(QWidget *parent = nullptr);
    ~SyntaxBox() override;

    // The whole text as UTF-8, copied straight from the editor's buffer: the cheap way to hand
    // a large text to the XML parser. A large text is copied once per state of the text and the
    // copy kept for kSnapshotKeepMs, so that all who want it after a pause in typing share one.
    QByteArray utf8Text() const;
    static constexpr long kSnapshotBytes = 256 * 1024;
    static constexpr int kSnapshotKeepMs = 4000;
    // Writing the whole text replaces it, starts a new undo history and raises exactly one
    // changed().
    void setText(const QString &text) override;

    // Between positions of text() (UTF-16 units) and Scintilla's byte positions.
    long bytePositionOf(int position) const;
    int characterPositionOf(long bytePosition) const;

    int selectionStart() const;
    void setSelectionStart(int pos);   // moves the caret, empties the selection
    int selectionLength() const;
    void setSelectionLength(int len);  // selects len characters from selectionStart() and shows them
    void replaceSelection(const QString &text); // caret after the new text

    // False: the selection stays drawn (in a muted colour) while another control has the focus.
    bool hidesSelection() const;

    // The live font: name and size (points, as text such as "8.25") change the display at once.
    // fontName() is the family actually shown (a missing family resolves to an installed one).
    QString fontName() const;
    void setFontName(const QString &name);   // an empty name keeps the current family
    QString fontSize() const;
    void setFontSize(const QString &points); // throws std::invalid_argument for non-numbers
    double fontPointSize() const;

    bool autoColorize() const;
    void setAutoColorize(bool on);
    // Colours the whole text. A very large text is coloured from the top down: what fits in a
    // short time now, the rest in the background while the control stays usable.
    void colorizeAll();
    void clearUndoHistory();

    int currentLine() const;   // 0-based line of the caret
    int currentColumn() const; // 1-based column of the caret, in characters (UTF-16 units)
    // The UTF-8 text from at most bytes before the caret up to it, without a copy: valid until
    // the next change of the text.
    QByteArrayView textBeforeCaret(long bytes) const;
    // Selects length UTF-16 units from a column (1-based) of a 1-based line, or the whole line
    // for column 0, and scrolls it into view.
    void selectSpan(int line, int column, int length);

    bool canUndo() const;
    bool canRedo() const;
    bool canCut() const;
    bool canCopy() const;
    bool canPaste() const;
    // QScintilla's clipboard and history slots, each one change of the text.
    void cut() override;
    void paste() override;
    void undo() override;
    void redo() override;

    void setTagColor(long color);
    void setTagBold(bool on);
    void setTagItalic(bool on);
    void setAttribColor(long color);
    void setAttribBold(bool on);
    void setAttribItalic(bool on);
    void setAttribValueColor(long color);
    void setAttribValueBold(bool on);
    void setAttribValueItalic(bool on);

    // Stored properties: attribute (property) names drawn bold, comments drawn italic. They
    // start as true and false. propnamebold and AttribBold set the same style: the later wins.
    bool propnamebold() const;
    void setPropnamebold(bool on);
    bool commentitalic() const;
    void setCommentitalic(bool on);


signals:
    void focusReceived();
    void changed();                      // every change of the text
    // A printable character typed without Ctrl, before it is inserted; set code to 0 to drop it
    // or to another character to type that one instead.
    void characterTyped(int &code);
    void keyReleased(int keyCode, int shift);               // shift: 1 Shift, 2 Ctrl, 4 Alt
    void mouseReleased(int button, int shift, int x, int y); // button: 1 left, 2 right, 4 middle
    void caretMoved();
    // The family or size of the text's font (and the margins') changed.
    void fontChanged();
    // Files or addresses were dropped on the text.
    void urlsDropped(const QList<QUrl> &urls);

protected:
    bool event(QEvent *e) override;
    bool viewportEvent(QEvent *e) override;
    void focusInEvent(QFocusEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;
    void keyReleaseEvent(QKeyEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;

private:
    struct Impl;
    Impl *d;
};
