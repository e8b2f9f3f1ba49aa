#include "components/xmllexer.h"

#include <Qsci/qsciscintilla.h>

#include <QColor>

#include <algorithm>
#include <string_view>

namespace {

using Sci = QsciScintillaBase;

// Fold level of a line: its nesting at the start; a header when the nesting rose over it.
int foldLevel(const xmlstyler::LineInfo &line)
{
    constexpr int kMaxLevel = Sci::SC_FOLDLEVELNUMBERMASK - Sci::SC_FOLDLEVELBASE;
    int level = Sci::SC_FOLDLEVELBASE + std::clamp(line.startDepth, 0, kMaxLevel);
    if (line.endDepth > line.startDepth)
        level |= Sci::SC_FOLDLEVELHEADERFLAG;
    return level;
}

} // namespace

XmlLexer::XmlLexer(QObject *parent) : QsciLexerCustom(parent) {}

const char *XmlLexer::language() const
{
    return "XML";
}

QString XmlLexer::description(int style) const
{
    switch (style) {
    case Default: return tr("Default");
    case XsltElement: return tr("XSLT element");
    case Element: return tr("Literal result element");
    case TagPunctuation: return tr("Tag punctuation");
    case XsltAttribute: return tr("XSLT attribute");
    case Attribute: return tr("Attribute");
    case Value: return tr("Attribute value");
    case XPathName: return tr("XPath name test");
    case XPathFunction: return tr("XPath function");
    case XPathAxis: return tr("XPath axis");
    case XPathVariable: return tr("XPath variable");
    case XPathString: return tr("XPath string");
    case XPathNumber: return tr("XPath number");
    case XPathOperator: return tr("XPath operator");
    case Comment: return tr("Comment");
    case CData: return tr("CDATA section");
    case PIMarker: return tr("Processing instruction marker");
    case ProcessingInstruction: return tr("Processing instruction");
    case XmlDeclaration: return tr("XML declaration");
    case Doctype: return tr("Document type declaration");
    case EntityRef: return tr("Entity reference");
    default: return QString();
    }
}

// Tags, attribute names and values start in the colours the Options dialog offers as its
// defaults; the kinds inside a value are picked to stand apart from the dark red of values.
QColor XmlLexer::defaultColor(int style) const
{
    switch (style) {
    case XsltElement:
    case Element:
    case TagPunctuation:
    case PIMarker: return QColor(0x00, 0x00, 0xFF);
    case XsltAttribute:
    case Attribute: return QColor(0x00, 0x00, 0x80);
    case Value:
    case XPathName:
    case XPathOperator: return QColor(0x80, 0x00, 0x00);
    case XPathFunction: return QColor(0x00, 0x80, 0x80);
    case XPathAxis: return QColor(0x80, 0x00, 0x80);
    case XPathVariable: return QColor(0xC0, 0x60, 0x00);
    case XPathString: return QColor(0x00, 0x80, 0x00);
    case XPathNumber: return QColor(0x80, 0x80, 0x00);
    case Comment: return QColor(0x80, 0x80, 0x80);
    case CData: return QColor(0x99, 0x66, 0x00);
    case ProcessingInstruction: return QColor(0x66, 0x66, 0x99);
    case XmlDeclaration: return QColor(0x55, 0x55, 0x55);
    case Doctype: return QColor(0x80, 0x40, 0x00);
    case EntityRef: return QColor(0xA0, 0x00, 0xA0);
    default: return QColor(0x00, 0x00, 0x00);
    }
}

const char *XmlLexer::wordCharacters() const
{
    return "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";
}

const char *XmlLexer::autoCompletionFillups() const
{
    return "/>";
}

QString XmlLexer::xsltPrefix() const
{
    return QString::fromStdString(m_styler.xsltPrefix());
}

void XmlLexer::styleText(int start, int end)
{
    QsciScintilla *ed = editor();
    if (!m_active || !ed)
        return;
    const long length = ed->SendScintilla(Sci::SCI_GETLENGTH);
    long from = std::clamp<long>(start, 0, length);
    long to = std::clamp<long>(end, from, length);

    // A changed XSLT prefix changes the styles above the edit as well: everything up to the
    // request is restyled; what lies below is unstyled anyway and follows when needed.
    const long head = std::min(length, kPrefixScanBytes);
    const auto *headText = reinterpret_cast<const char *>(
        ed->SendScintilla(Sci::SCI_GETRANGEPOINTER, 0UL, head));
    const xmlstyler::PrefixLookup lookup =
        xmlstyler::findXsltPrefix(std::string_view(headText ? headText : "", headText ? std::size_t(head) : 0));
    const std::string prefix = lookup.found ? lookup.prefix : std::string("xsl");
    if (prefix != m_styler.xsltPrefix()) {
        m_styler.setXsltPrefix(prefix);
        from = 0;
    }
    if (from >= to)
        return;

    // Whole lines only: the line the request ends in is finished, so that the next request,
    // which starts at its line's start, never repeats a part of a line.
    const long startLine = ed->SendScintilla(Sci::SCI_LINEFROMPOSITION, from);
    from = ed->SendScintilla(Sci::SCI_POSITIONFROMLINE, startLine);
    const long endLine = ed->SendScintilla(Sci::SCI_LINEFROMPOSITION, to);
    if (ed->SendScintilla(Sci::SCI_POSITIONFROMLINE, endLine) != to) {
        const long next = ed->SendScintilla(Sci::SCI_POSITIONFROMLINE, endLine + 1);
        to = next < 0 ? length : std::min(next, length);
    }
    const std::size_t count = std::size_t(to - from);
    const auto *text = reinterpret_cast<const char *>(
        ed->SendScintilla(Sci::SCI_GETRANGEPOINTER, static_cast<unsigned long>(from), long(count)));
    if (!text)
        return;

    const xmlstyler::State state =
        startLine > 0 ? xmlstyler::State(ed->SendScintilla(Sci::SCI_GETLINESTATE, startLine - 1)) : 0;
    m_styles.resize(count);
    m_lines.clear();
    m_styler.style(text, count, state, m_styles.data(), &m_lines);

    startStyling(int(from));
    ed->SendScintilla(Sci::SCI_SETSTYLINGEX, static_cast<unsigned long>(count),
                      reinterpret_cast<const char *>(m_styles.data()));
    long line = startLine;
    for (const xmlstyler::LineInfo &info : m_lines) {
        if (info.complete)
            ed->SendScintilla(Sci::SCI_SETLINESTATE, static_cast<unsigned long>(line), long(int(info.endState)));
        ed->SendScintilla(Sci::SCI_SETFOLDLEVEL, static_cast<unsigned long>(line), foldLevel(info));
        ++line;
    }
    // The empty line after a final line break belongs to whatever is still open.
    if (to == length && !m_lines.empty() && m_lines.back().complete) {
        xmlstyler::LineInfo last;
        last.startDepth = last.endDepth = m_lines.back().endDepth;
        ed->SendScintilla(Sci::SCI_SETFOLDLEVEL, static_cast<unsigned long>(line), foldLevel(last));
    }
}
