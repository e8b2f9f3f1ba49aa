#include "components/editorassist.h"

#include "components/syntaxbox.h"

#include <QToolTip>

#include <algorithm>
#include <optional>

namespace {

using Sci = QsciScintillaBase;

// Margins: line numbers, problem marks, fold points.
constexpr int kNumberMargin = 0;
constexpr int kMarkMargin = 1;
constexpr int kFoldMargin = 2;

// Markers of the mark margin, by severity (the fold margin uses 25 to 31).
constexpr int kFirstMarker = 20;
// Underlines: one per kind of check and severity, so each kind is cleared on its own.
constexpr int kFirstIndicator = 8;
constexpr int kTagIndicator = kFirstIndicator + EditorAssist::kKinds * 3;

// How far around the caret a partner tag is looked for: enough for any hand-written element,
// cheap enough to do at every caret move in a large text.
constexpr long kTagSearchBytes = 1 << 20;

int indicatorOf(int kind, Diagnostic::Severity severity)
{
    return kFirstIndicator + kind * 3 + int(severity);
}

QColor colourOf(Diagnostic::Severity severity)
{
    switch (severity) {
    case Diagnostic::Severity::Error: return QColor(0xd0, 0x20, 0x20);
    case Diagnostic::Severity::Warning: return QColor(0xd0, 0x80, 0x00);
    case Diagnostic::Severity::Information: return QColor(0x20, 0x60, 0xc0);
    }
    return Qt::red;
}

bool isNameByte(char c)
{
    return c == ':' || c == '_' || c == '-' || c == '.' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
           || (c >= '0' && c <= '9') || (static_cast<unsigned char>(c) >= 0x80);
}

// A tag found in a stretch of text: where it is, its name, and what kind it is.
struct Tag {
    qsizetype start = 0; // offset of '<'
    qsizetype end = 0;   // offset after '>'
    QByteArray name;
    bool closing = false;
    bool empty = false;
};

// The ">" that closes a tag, looked for from inside it up to to, over quoted attribute values;
// -1 when to comes first or another tag starts (a tag left open).
qsizetype tagClose(const QByteArray &text, qsizetype from, qsizetype to)
{
    char quote = 0;
    for (qsizetype p = from; p < to; ++p) {
        const char c = text[p];
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return p;
        } else if (c == '<') {
            return -1;
        }
    }
    return -1;
}

// Whether text has what at i, without a copy.
bool startsAt(const QByteArray &text, qsizetype i, QByteArrayView what)
{
    return QByteArrayView(text).sliced(i).startsWith(what);
}

// The next tag at or after from, skipping comments, CDATA sections, processing instructions
// and declarations; nothing when the text ends first.
std::optional<Tag> nextTag(const QByteArray &text, qsizetype from)
{
    for (qsizetype i = text.indexOf('<', from); i >= 0; i = text.indexOf('<', i + 1)) {
        const auto skipTo = [&](const char *close) {
            const qsizetype e = text.indexOf(close, i);
            return e < 0 ? qsizetype(text.size()) : e + qsizetype(qstrlen(close));
        };
        if (startsAt(text, i, "<!--")) {
            i = skipTo("-->") - 1;
            continue;
        }
        if (startsAt(text, i, "<![CDATA[")) {
            i = skipTo("]]>") - 1;
            continue;
        }
        if (startsAt(text, i, "<?") || startsAt(text, i, "<!")) {
            i = skipTo(">") - 1;
            continue;
        }
        Tag tag;
        tag.start = i;
        qsizetype p = i + 1;
        if (p < text.size() && text[p] == '/') {
            tag.closing = true;
            ++p;
        }
        const qsizetype nameStart = p;
        while (p < text.size() && isNameByte(text[p]))
            ++p;
        if (p == nameStart)
            continue;
        tag.name = text.mid(nameStart, p - nameStart);
        p = tagClose(text, p, text.size());
        if (p < 0)
            return std::nullopt;
        tag.end = p + 1;
        tag.empty = !tag.closing && text[p - 1] == '/';
        return tag;
    }
    return std::nullopt;
}

} // namespace

EditorAssist::EditorAssist(SyntaxBox *box)
    : QObject(box)
    , m_box(box)
{
    box->setMarginType(kMarkMargin, QsciScintilla::SymbolMargin);
    box->setMarginWidth(kMarkMargin, 14);
    box->setMarginMarkerMask(kMarkMargin, (1 << kFirstMarker) | (1 << (kFirstMarker + 1)) | (1 << (kFirstMarker + 2)));
    box->setMarginSensitivity(kMarkMargin, true);
    for (const auto severity : {Diagnostic::Severity::Error, Diagnostic::Severity::Warning, Diagnostic::Severity::Information}) {
        const int marker = kFirstMarker + int(severity);
        // A warning's mark differs from an error's in shape as well as colour.
        box->markerDefine(severity == Diagnostic::Severity::Warning ? QsciScintilla::RightTriangle : QsciScintilla::Circle, marker);
        box->setMarkerBackgroundColor(colourOf(severity), marker);
        box->setMarkerForegroundColor(colourOf(severity).darker(), marker);
        for (int kind = 0; kind < kKinds; ++kind) {
            const int indicator = indicatorOf(kind, severity);
            box->SendScintilla(Sci::SCI_INDICSETSTYLE, indicator, Sci::INDIC_SQUIGGLE);
            box->SendScintilla(Sci::SCI_INDICSETFORE, indicator, colourOf(severity));
        }
    }
    box->SendScintilla(Sci::SCI_INDICSETSTYLE, kTagIndicator, Sci::INDIC_ROUNDBOX);
    box->SendScintilla(Sci::SCI_INDICSETFORE, kTagIndicator, QColor(0x30, 0x90, 0x30));
    box->SendScintilla(Sci::SCI_INDICSETALPHA, kTagIndicator, 60);
    box->setFolding(QsciScintilla::BoxedTreeFoldStyle, kFoldMargin);
    // Enter starts the new line with the indentation of the line before it, character for
    // character. QScintilla's own auto-indent rebuilds it from its width, with tabs where they
    // fit, which mixes tabs into a file indented with spaces.
    connect(box, &QsciScintillaBase::SCN_CHARADDED, this, &EditorAssist::indentNewLine);

    // The reason of a mark, when the pointer rests on it or on its line's margin.
    box->SendScintilla(Sci::SCI_SETMOUSEDWELLTIME, 400);
    connect(box, &QsciScintillaBase::SCN_DWELLSTART, this, [this](int position, int x, int y) {
        showTooltip(position, x, y);
    });
    connect(box, &QsciScintillaBase::SCN_DWELLEND, this, [] { QToolTip::hideText(); });

    m_tagTimer.setSingleShot(true);
    m_tagTimer.setInterval(60);
    connect(&m_tagTimer, &QTimer::timeout, this, &EditorAssist::matchTags);
    connect(box, &SyntaxBox::caretMoved, &m_tagTimer, qOverload<>(&QTimer::start));
    connect(box, &SyntaxBox::changed, this, [this] {
        m_tagTimer.start();
        if (m_lineNumbers)
            updateLineNumberWidth();
    });
    // Other digits, other widths: the margin is measured again in the new font.
    connect(box, &SyntaxBox::fontChanged, this, [this] {
        m_digits = 0;
        if (m_lineNumbers)
            updateLineNumberWidth();
    });
}

void EditorAssist::setLineNumbers(bool on)
{
    m_lineNumbers = on;
    m_box->setMarginType(kNumberMargin, QsciScintilla::NumberMargin);
    m_box->setMarginLineNumbers(kNumberMargin, on);
    m_digits = 0;
    if (on)
        updateLineNumberWidth();
    else
        m_box->setMarginWidth(kNumberMargin, 0);
}

void EditorAssist::updateLineNumberWidth()
{
    const int digits = std::max(3, int(QString::number(m_box->lines()).size()));
    if (digits == m_digits)
        return;
    m_digits = digits;
    // The widest digit of the margin's font, once for each digit and once more for the space
    // around the number.
    long widest = 0;
    for (char digit = '0'; digit <= '9'; ++digit) {
        const char text[] = {digit, 0};
        widest = std::max(widest, m_box->SendScintilla(Sci::SCI_TEXTWIDTH, Sci::STYLE_LINENUMBER, text));
    }
    m_box->setMarginWidth(kNumberMargin, int(widest * (digits + 1)));
}

void EditorAssist::indentNewLine(int character)
{
    // The last character of a line break: LF, or CR where lines end with CR alone.
    const bool crOnly = m_box->SendScintilla(Sci::SCI_GETEOLMODE) == Sci::SC_EOL_CR;
    if (character != (crOnly ? '\r' : '\n'))
        return;
    const long caret = m_box->SendScintilla(Sci::SCI_GETCURRENTPOS);
    const long line = m_box->SendScintilla(Sci::SCI_LINEFROMPOSITION, static_cast<unsigned long>(caret));
    if (line < 1)
        return;
    const long from = m_box->SendScintilla(Sci::SCI_POSITIONFROMLINE, static_cast<unsigned long>(line - 1));
    const long to = m_box->SendScintilla(Sci::SCI_GETLINEINDENTPOSITION, static_cast<unsigned long>(line - 1));
    if (to <= from)
        return;
    QByteArray indentation;
    for (long p = from; p < to; ++p)
        indentation += char(m_box->SendScintilla(Sci::SCI_GETCHARAT, static_cast<unsigned long>(p)));
    const long start = m_box->SendScintilla(Sci::SCI_POSITIONFROMLINE, static_cast<unsigned long>(line));
    m_box->SendScintilla(Sci::SCI_INSERTTEXT, static_cast<unsigned long>(start), indentation.constData());
    if (caret == start)
        m_box->SendScintilla(Sci::SCI_GOTOPOS, static_cast<unsigned long>(start + indentation.size()));
}

long EditorAssist::bytePositionOf(int line, int column) const
{
    const long lineStart = m_box->SendScintilla(Sci::SCI_POSITIONFROMLINE, static_cast<unsigned long>(std::max(0, line - 1)));
    if (column <= 1)
        return lineStart;
    // The parser counts characters; Scintilla steps over whole characters too.
    const long lineEnd = m_box->SendScintilla(Sci::SCI_GETLINEENDPOSITION, static_cast<unsigned long>(std::max(0, line - 1)));
    const long at = m_box->SendScintilla(Sci::SCI_POSITIONRELATIVE, static_cast<unsigned long>(lineStart), long(column - 1));
    return at <= 0 && column > 1 ? lineEnd : std::min(at, lineEnd);
}

void EditorAssist::setMarks(int kind, const QList<Mark> &marks)
{
    if (kind < 0 || kind >= kKinds)
        return;
    // Nothing marked and nothing to mark (a text that stays well-formed): no clearing over the
    // whole of a large text after every verdict.
    if (m_placed[kind].isEmpty() && marks.isEmpty())
        return;
    for (const Placed &p : std::as_const(m_placed[kind]))
        m_box->SendScintilla(Sci::SCI_MARKERDELETEHANDLE, static_cast<unsigned long>(p.handle));
    const long length = m_box->SendScintilla(Sci::SCI_GETLENGTH);
    for (const auto severity : {Diagnostic::Severity::Error, Diagnostic::Severity::Warning, Diagnostic::Severity::Information}) {
        m_box->SendScintilla(Sci::SCI_SETINDICATORCURRENT, indicatorOf(kind, severity));
        m_box->SendScintilla(Sci::SCI_INDICATORCLEARRANGE, 0UL, length);
    }
    m_placed[kind].clear();
    const int lines = m_box->lines();
    for (const Mark &mark : marks) {
        if (mark.line < 1 || mark.line > lines)
            continue;
        Placed placed;
        placed.message = mark.message;
        placed.handle = int(m_box->SendScintilla(Sci::SCI_MARKERADD, static_cast<unsigned long>(mark.line - 1),
                                                 long(kFirstMarker + int(mark.severity))));
        placed.indicator = indicatorOf(kind, mark.severity);
        long from = 0;
        long to = 0;
        if (mark.column >= 1) {
            // From the place to the end of the word there, at least one character. A place at
            // the end of the line (where the parser stops after a tag) underlines the
            // character before it.
            from = bytePositionOf(mark.line, mark.column);
            const long lineStart = m_box->SendScintilla(Sci::SCI_POSITIONFROMLINE, static_cast<unsigned long>(mark.line - 1));
            const long lineEnd = m_box->SendScintilla(Sci::SCI_GETLINEENDPOSITION, static_cast<unsigned long>(mark.line - 1));
            if (from >= lineEnd && lineEnd > lineStart)
                from = m_box->SendScintilla(Sci::SCI_POSITIONBEFORE, static_cast<unsigned long>(lineEnd));
            to = mark.length > 0 ? m_box->SendScintilla(Sci::SCI_POSITIONRELATIVE, static_cast<unsigned long>(from), long(mark.length))
                                 : m_box->SendScintilla(Sci::SCI_WORDENDPOSITION, static_cast<unsigned long>(from), 1L);
            if (to <= from)
                to = m_box->SendScintilla(Sci::SCI_POSITIONAFTER, static_cast<unsigned long>(from));
        } else {
            // The whole line, from its first character that is not a space.
            from = m_box->SendScintilla(Sci::SCI_GETLINEINDENTPOSITION, static_cast<unsigned long>(mark.line - 1));
            to = m_box->SendScintilla(Sci::SCI_GETLINEENDPOSITION, static_cast<unsigned long>(mark.line - 1));
        }
        if (to > from) {
            m_box->SendScintilla(Sci::SCI_SETINDICATORCURRENT, placed.indicator);
            m_box->SendScintilla(Sci::SCI_SETINDICATORVALUE, long(m_placed[kind].size() + 1));
            m_box->SendScintilla(Sci::SCI_INDICATORFILLRANGE, static_cast<unsigned long>(from), to - from);
        }
        m_placed[kind] << placed;
    }
}

QList<int> EditorAssist::markedLines() const
{
    QList<int> out;
    for (const auto &kind : m_placed)
        for (const Placed &p : kind) {
            const long line = m_box->SendScintilla(Sci::SCI_MARKERLINEFROMHANDLE, static_cast<unsigned long>(p.handle));
            if (line >= 0)
                out << int(line + 1);
        }
    std::sort(out.begin(), out.end());
    return out;
}

QString EditorAssist::messageAt(int position) const
{
    const long byte = m_box->bytePositionOf(position);
    for (const auto &kind : m_placed)
        for (const Placed &p : kind) {
            const long value = m_box->SendScintilla(Sci::SCI_INDICATORVALUEAT, p.indicator, byte);
            if (value > 0 && value <= kind.size() && &kind[value - 1] == &p)
                return p.message;
        }
    return QString();
}

QList<QPair<int, int>> EditorAssist::underlines() const
{
    QList<QPair<int, int>> out;
    const long length = m_box->SendScintilla(Sci::SCI_GETLENGTH);
    for (int kind = 0; kind < kKinds; ++kind)
        for (const auto severity : {Diagnostic::Severity::Error, Diagnostic::Severity::Warning, Diagnostic::Severity::Information}) {
            const int indicator = indicatorOf(kind, severity);
            long at = 0;
            while (at < length) {
                const long end = m_box->SendScintilla(Sci::SCI_INDICATOREND, indicator, at);
                if (m_box->SendScintilla(Sci::SCI_INDICATORVALUEAT, indicator, at) > 0) {
                    const int from = m_box->characterPositionOf(at);
                    out << qMakePair(from, m_box->characterPositionOf(end) - from);
                }
                if (end <= at)
                    break;
                at = end;
            }
        }
    std::sort(out.begin(), out.end());
    return out;
}

void EditorAssist::showTooltip(int bytePosition, int x, int y)
{
    QString message;
    if (bytePosition >= 0)
        message = messageAt(m_box->characterPositionOf(bytePosition));
    if (message.isEmpty()) {
        // Resting on the margin: the marks of that line.
        const int line = m_box->lineAt(QPoint(x, y));
        for (const auto &kind : m_placed)
            for (const Placed &p : kind)
                if (line >= 0 && m_box->SendScintilla(Sci::SCI_MARKERLINEFROMHANDLE, static_cast<unsigned long>(p.handle)) == line)
                    message += (message.isEmpty() ? QString() : QStringLiteral("\n")) + p.message;
    }
    if (message.isEmpty() && m_hover && bytePosition >= 0)
        message = m_hover(m_box->characterPositionOf(bytePosition));
    if (!message.isEmpty())
        QToolTip::showText(m_box->viewport()->mapToGlobal(QPoint(x, y)), message, m_box->viewport());
}

void EditorAssist::goToLine(int line)
{
    const int target = std::clamp(line, 1, std::max(1, m_box->lines())) - 1;
    m_box->SendScintilla(Sci::SCI_ENSUREVISIBLEENFORCEPOLICY, static_cast<unsigned long>(target));
    m_box->SendScintilla(Sci::SCI_GOTOLINE, static_cast<unsigned long>(target));
    m_box->SendScintilla(Sci::SCI_VERTICALCENTRECARET);
    m_box->setFocus();
}

QList<QPair<int, int>> EditorAssist::matchingTags() const
{
    QList<QPair<int, int>> out;
    const long length = m_box->SendScintilla(Sci::SCI_GETLENGTH);
    long at = 0;
    while (at < length) {
        const long end = m_box->SendScintilla(Sci::SCI_INDICATOREND, kTagIndicator, at);
        if (m_box->SendScintilla(Sci::SCI_INDICATORVALUEAT, kTagIndicator, at) > 0) {
            const int from = m_box->characterPositionOf(at);
            out << qMakePair(from, m_box->characterPositionOf(end) - from);
        }
        if (end <= at)
            break;
        at = end;
    }
    return out;
}

bool EditorAssist::outsideAnyTag(long caret, long length) const
{
    // Most keys are typed between tags: the last "<" before the caret, closed by a ">" (not in
    // quotes) before it, says so without reading a megabyte around the caret. Anything less
    // plain (no "<" near, a quote left open) is left to the full reading.
    const long from = std::max(0L, caret - kNearBytes);
    const long to = std::min(length, caret + 1);
    QByteArray near(to - from, Qt::Uninitialized);
    if (to > from)
        m_box->SendScintilla(Sci::SCI_GETTEXTRANGE, from, to, near.data());
    const qsizetype here = caret - from;
    if (here < near.size() && near[here] == '<')
        return false;
    const qsizetype open = near.lastIndexOf('<', here - 1);
    if (open < 0)
        return false;
    // The caret touching a tag's end still matches it.
    const qsizetype close = tagClose(near, open + 1, here);
    return close >= 0 && close + 1 < here;
}

void EditorAssist::matchTags()
{
    const long length = m_box->SendScintilla(Sci::SCI_GETLENGTH);
    m_box->SendScintilla(Sci::SCI_SETINDICATORCURRENT, kTagIndicator);
    m_box->SendScintilla(Sci::SCI_INDICATORCLEARRANGE, 0UL, length);
    const long caret = m_box->SendScintilla(Sci::SCI_GETCURRENTPOS);
    if (outsideAnyTag(caret, length))
        return;
    // The stretch around the caret, read from a little before so that the tag under the caret
    // and everything that opens before it in the stretch are seen from their start.
    const long from = std::max(0L, caret - kTagSearchBytes);
    const long to = std::min(length, caret + kTagSearchBytes);
    QByteArray text(to - from, Qt::Uninitialized);
    if (to > from)
        m_box->SendScintilla(Sci::SCI_GETTEXTRANGE, from, to, text.data());
    const long here = caret - from;

    // The tag the caret is in (or touches), and the open elements before it.
    QList<Tag> open;
    std::optional<Tag> current;
    for (std::optional<Tag> tag = nextTag(text, 0); tag; tag = nextTag(text, tag->end)) {
        if (tag->start <= here && here <= tag->end) {
            current = tag;
            break;
        }
        if (tag->start > here)
            return;
        if (tag->closing) {
            // The innermost open element of that name closes, and what it left open with it.
            for (qsizetype i = open.size() - 1; i >= 0; --i)
                if (open[i].name == tag->name) {
                    open.resize(i);
                    break;
                }
        } else if (!tag->empty) {
            open << *tag;
        }
    }
    if (!current || current->empty)
        return;
    std::optional<Tag> partner;
    if (current->closing) {
        for (qsizetype i = open.size() - 1; i >= 0 && !partner; --i)
            if (open[i].name == current->name)
                partner = open[i];
    } else {
        int depth = 0;
        for (std::optional<Tag> tag = nextTag(text, current->end); tag && !partner; tag = nextTag(text, tag->end)) {
            if (tag->name != current->name || tag->empty)
                continue;
            if (!tag->closing)
                ++depth;
            else if (depth-- == 0)
                partner = tag;
        }
    }
    if (!partner)
        return;
    for (const Tag &t : {*current, *partner}) {
        // The name, with its "<" or "</".
        const long start = from + t.start;
        const long nameEnd = start + (t.closing ? 2 : 1) + t.name.size();
        m_box->SendScintilla(Sci::SCI_SETINDICATORVALUE, 1L);
        m_box->SendScintilla(Sci::SCI_INDICATORFILLRANGE, static_cast<unsigned long>(start), nameEnd - start);
    }
}
