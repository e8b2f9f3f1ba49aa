#pragma once

#include "engine/diagnostic.h"

#include <QList>
#include <QObject>
#include <QTimer>

#include <functional>

class SyntaxBox;

// What an editor shows beside and under its text: line numbers, fold points, the start and end
// tag that belong together, and the problems found in the text, each marked in the margin and
// underlined at its place, with its message as a tooltip. Marks move with the edits around them.
class EditorAssist : public QObject
{
    Q_OBJECT
public:
    explicit EditorAssist(SyntaxBox *box);

    void setLineNumbers(bool on);
    bool lineNumbers() const { return m_lineNumbers; }

    // A problem at its place: line and column are 1-based, the column in characters (Unicode
    // code points) as the XML parser counts them; column 0 marks the whole line.
    struct Mark {
        int line = 0;
        int column = 0;
        Diagnostic::Severity severity = Diagnostic::Severity::Error;
        QString message;
        // The characters the underline covers; 0: to the end of the word at the place.
        int length = 0;
    };
    // Replaces the marks of one kind of check (say, well-formedness or compilation).
    void setMarks(int kind, const QList<Mark> &marks);
    // The 1-based lines that carry a mark now, after whatever edits were made since.
    QList<int> markedLines() const;
    // The message of the mark at a position of the text (a character offset), if any.
    QString messageAt(int position) const;
    // The character range the underline of a mark covers now: start and length.
    QList<QPair<int, int>> underlines() const;

    // The character ranges of the tag under the caret and of its partner, when both exist.
    QList<QPair<int, int>> matchingTags() const;

    // What resting the pointer on a place of the text tells when no mark is there (a character
    // offset in; empty: nothing).
    void setHoverText(std::function<QString(int position)> hover) { m_hover = std::move(hover); }

    // Moves the caret to the start of a 1-based line and shows it.
    void goToLine(int line);

    static constexpr int kKinds = 5;

private:
    void updateLineNumberWidth();
    void indentNewLine(int character);
    // Whether the caret is plainly outside any tag, found from the text just before it.
    bool outsideAnyTag(long caret, long length) const;
    static constexpr long kNearBytes = 8192;
    void matchTags();
    void showTooltip(int bytePosition, int x, int y);
    long bytePositionOf(int line, int column) const;

    struct Placed {
        int handle = -1;   // Scintilla marker handle: follows its line through edits
        int indicator = 0; // which underline
        QString message;
    };
    SyntaxBox *m_box;
    bool m_lineNumbers = false;
    int m_digits = 0;
    QList<Placed> m_placed[kKinds];
    QTimer m_tagTimer;
    std::function<QString(int)> m_hover;
};
