#pragma once

#include <QString>

class QWidget;
class SyntaxBox;

// Find Next, Replace and Replace All on one edit control. Nothing is cached between commands:
// every command reads the control's text as it is now, so edits made while the find dialog is
// open are always taken into account. Positions are characters of Text(), 0-based, as the
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

// Carries out one command of the dialog on target. Message boxes are shown over messageParent.
void onFindReplace(SyntaxBox *target, int flags, const QString &findWhat, const QString &replaceWith,
                   QWidget *messageParent = nullptr);

// Selects the next occurrence that begins at the caret, or after the first character of the
// selection (so occurrences may overlap). Never wraps. When nothing is found the selection stays
// and, with report, "No matches found" is shown.
bool findNextDown(SyntaxBox *target, const QString &findWhat, int flags, bool report,
                  QWidget *messageParent = nullptr);
// Selects the last occurrence lying wholly before the selection (or the caret). Never wraps;
// a failure is always reported.
bool findNextUp(SyntaxBox *target, const QString &findWhat, int flags, QWidget *messageParent = nullptr);
// Replaces the selection when it is exactly findWhat (letter case included), then finds the
// next occurrence downwards.
void replaceSelection(SyntaxBox *target, const QString &findWhat, const QString &replaceWith, int flags,
                      QWidget *messageParent = nullptr);
// Replaces every occurrence from the top down, as one undo step, and reports the count.
// Returns the number of replacements.
int replaceAll(SyntaxBox *target, const QString &findWhat, const QString &replaceWith, int flags,
               QWidget *messageParent = nullptr);

// Index (0-based) of the last occurrence of findWhat lying wholly within the first limit
// characters of text, or -1.
int findLastBefore(int limit, const QString &text, const QString &findWhat, Qt::CaseSensitivity cs);
// Word characters are the letters a to z in either case and the digits; everything else,
// underscore, hyphen and accented letters included, separates words.
bool isWordChar(QChar c);
bool isWholeWord(QChar before, QChar after);

} // namespace findreplace
