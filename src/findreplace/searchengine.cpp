#include "findreplace/searchengine.h"

#include "common/common.h"
#include "components/syntaxbox.h"
#include "platform/dialogs.h"

#include <algorithm>

namespace findreplace {

namespace {

Qt::CaseSensitivity sensitivity(int flags)
{
    return hasFlag(MatchCase, flags) ? Qt::CaseSensitive : Qt::CaseInsensitive;
}

// The text's edges count as spaces, so an occurrence at the very start or end can be a word.
QChar charAt(const QString &text, qsizetype i)
{
    return i >= 0 && i < text.size() ? text.at(i) : QLatin1Char(' ');
}

void reportNoMatches(QList<Notice> *notices)
{
    if (notices)
        notices->append({noMatchesMessage(), QMessageBox::Warning});
}

void select(SyntaxBox *target, qsizetype start, qsizetype length)
{
    target->setSelectionStart(int(start));
    target->setSelectionLength(int(length));
}

} // namespace

QString messageTitle()
{
    return QStringLiteral("Find/Replace");
}

QString noMatchesMessage()
{
    return QStringLiteral("No matches found");
}

QString replacedMessage(int count)
{
    return QStringLiteral("Text has been searched. ") + QString::number(count) + QStringLiteral(" replacements were made.");
}

bool isWordChar(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9');
}

bool isWholeWord(QChar before, QChar after)
{
    return !isWordChar(before) && !isWordChar(after);
}

int findLastBefore(int limit, const QString &text, const QString &findWhat, Qt::CaseSensitivity cs)
{
    const qsizetype n = findWhat.size();
    if (n == 0)
        return -1;
    const qsizetype from = std::min<qsizetype>(limit, text.size()) - n;
    // A negative start would make lastIndexOf count from the end of the text.
    if (from < 0)
        return -1;
    return int(text.lastIndexOf(findWhat, from, cs));
}

bool findNextDown(SyntaxBox *target, const QString &findWhat, int flags, QList<Notice> *notices)
{
    // An empty find text would "match" between every two characters.
    if (target && !findWhat.isEmpty()) {
        const QString text = target->text();
        const qsizetype n = findWhat.size();
        const Qt::CaseSensitivity cs = sensitivity(flags);
        // From a bare caret an occurrence may begin at the caret; from a selection (usually the
        // previous match) the search starts at its second character.
        qsizetype start = target->selectionStart() + (target->selectionLength() > 0 ? 1 : 0);
        while (start <= text.size()) {
            const qsizetype p = text.indexOf(findWhat, start, cs);
            if (p < 0)
                break;
            if (hasFlag(WholeWord, flags) && !isWholeWord(charAt(text, p - 1), charAt(text, p + n))) {
                start = p + 1;
                continue;
            }
            select(target, p, n);
            return true;
        }
    }
    if (target)
        reportNoMatches(notices);
    return false;
}

bool findNextUp(SyntaxBox *target, const QString &findWhat, int flags, QList<Notice> *notices)
{
    if (!target)
        return false;
    const QString text = target->text();
    const qsizetype n = findWhat.size();
    const Qt::CaseSensitivity cs = sensitivity(flags);
    int limit = target->selectionStart();
    for (;;) {
        const int p = findLastBefore(limit, text, findWhat, cs);
        if (p < 0)
            break;
        if (hasFlag(WholeWord, flags) && !isWholeWord(charAt(text, p - 1), charAt(text, p + n))) {
            limit = p;
            continue;
        }
        select(target, p, n);
        return true;
    }
    reportNoMatches(notices);
    return false;
}

void replaceSelection(SyntaxBox *target, const QString &findWhat, const QString &replaceWith, int flags,
                      QList<Notice> *notices)
{
    if (!target)
        return;
    // Exact comparison whatever Match case says; an empty find text never stands for the caret.
    if (!findWhat.isEmpty() && target->selectedText() == findWhat)
        target->replaceSelection(replaceWith);
    findNextDown(target, findWhat, flags | Down, notices);
}

int replaceAll(SyntaxBox *target, const QString &findWhat, const QString &replaceWith, int flags,
               QList<Notice> *notices)
{
    if (!target)
        return 0;
    BusyCursor busy;
    const QString text = target->text();
    const qsizetype n = findWhat.size();
    const Qt::CaseSensitivity cs = sensitivity(flags);

    // Works as successive "find from the caret, replace the selection" steps from the top would,
    // but in one pass over the text: the changed stretch (first occurrence to end of the last)
    // is built aside and put into the control in one edit, which is one undo step and one change.
    // Each search continues after the previous replacement, so a replacement that contains the
    // find text is not replaced again.
    QString middle;
    qsizetype first = -1;
    qsizetype consumed = 0; // original characters before this index are already dealt with
    qsizetype from = 0;
    int count = 0;
    while (n > 0 && from <= text.size()) {
        const qsizetype p = text.indexOf(findWhat, from, cs);
        if (p < 0)
            break;
        if (hasFlag(WholeWord, flags)) {
            // Right after a replacement, the character before is the replacement's last one.
            QChar before = charAt(text, p - 1);
            if (count > 0 && p == consumed)
                before = !middle.isEmpty() ? middle.back() : charAt(text, first - 1);
            if (!isWholeWord(before, charAt(text, p + n))) {
                from = p + 1;
                continue;
            }
        }
        if (first < 0)
            first = consumed = p;
        middle += QStringView(text).mid(consumed, p - consumed);
        middle += replaceWith;
        consumed = from = p + n;
        ++count;
    }

    if (count == 0) {
        reportNoMatches(notices);
        return 0;
    }
    target->beginUndoAction();
    select(target, first, consumed - first);
    target->replaceSelection(middle); // leaves the caret after the last replacement
    target->endUndoAction();
    if (notices)
        notices->append({replacedMessage(count), QMessageBox::Information});
    return count;
}

QList<Notice> onFindReplace(SyntaxBox *target, int flags, const QString &findWhat, const QString &replaceWith)
{
    QList<Notice> notices;
    if (!target)
        return notices;
    if (hasFlag(FindNext, flags)) {
        if (hasFlag(Down, flags))
            findNextDown(target, findWhat, flags, &notices);
        else
            findNextUp(target, findWhat, flags, &notices);
        // A control that hides an unfocused selection would not show what was found.
        if (target->hidesSelection())
            target->setFocus();
    }
    if (hasFlag(Replace, flags))
        replaceSelection(target, findWhat, replaceWith, flags, &notices);
    if (hasFlag(ReplaceAll, flags))
        replaceAll(target, findWhat, replaceWith, flags, &notices);
    return notices;
}

} // namespace findreplace
