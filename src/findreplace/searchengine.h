#pragma once

#include <QList>
#include <QMessageBox>
#include <QString>

class SyntaxBox;

// Find Next, Replace and Replace All on one edit control. Nothing is cached between commands:
// every command reads the control's text as it is now, so edits made while the find dialog is
// open are always taken into account. Positions are characters of text(), 0-based, as the
// control counts them.
namespace findreplace {

// Bits of a command: the options in force and which button was pressed (one per command).
enum Flag : int {
    Down = 1,
    WholeWord = 2,
    MatchCase = 4,
    FindNext = 8,
    Replace = 16,
    ReplaceAll = 32,
};

// True when every bit of flag is set in flags.
constexpr bool hasFlag(int flag, int flags) { return (flags & flag) == flag; }

// Texts the user sees.
QString messageTitle();      // "Find/Replace"
QString noMatchesMessage();  // "No matches found"
QString replacedMessage(int count);

// What a command has to tell the user: the text and icon of a message box. The engine only says
// it; the dialog shows it.
struct Notice {
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool operator==(const Notice &) const = default;
};

// Carries out one command of the dialog on target and returns what to tell the user, in order.
QList<Notice> onFindReplace(SyntaxBox *target, int flags, const QString &findWhat, const QString &replaceWith);

// Selects the next occurrence that begins at the caret, or after the first character of the
// selection (so occurrences may overlap). Never wraps. When nothing is found the selection stays
// and, when notices is given, "No matches found" is added to it.
bool findNextDown(SyntaxBox *target, const QString &findWhat, int flags, QList<Notice> *notices);
// Selects the last occurrence lying wholly before the selection (or the caret). Never wraps;
// a failure is always reported.
bool findNextUp(SyntaxBox *target, const QString &findWhat, int flags, QList<Notice> *notices);
// Replaces the selection when it is exactly findWhat (letter case included), then finds the
// next occurrence downwards.
void replaceSelection(SyntaxBox *target, const QString &findWhat, const QString &replaceWith, int flags,
                      QList<Notice> *notices);
// Replaces every occurrence from the top down, as one undo step, and reports the count.
// Returns the number of replacements.
int replaceAll(SyntaxBox *target, const QString &findWhat, const QString &replaceWith, int flags,
               QList<Notice> *notices);

// Index (0-based) of the last occurrence of findWhat lying wholly within the first limit
// characters of text, or -1.
int findLastBefore(int limit, const QString &text, const QString &findWhat, Qt::CaseSensitivity cs);
// Word characters are the letters a to z in either case and the digits; everything else,
// underscore, hyphen and accented letters included, separates words.
bool isWordChar(QChar c);
bool isWholeWord(QChar before, QChar after);

} // namespace findreplace
