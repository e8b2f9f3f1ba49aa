#pragma once

#include "components/xmlstyler.h"

#include <Qsci/qscilexercustom.h>

#include <string>
#include <vector>

// The editor's lexer for stylesheets and XML: xmlstyler styles the bytes, this class hands
// Scintilla the styles, the per-line states and the fold levels.
//
// A QsciLexerCustom, because it is the one way QScintilla offers to colour with code of our
// own without rebuilding the library: Scintilla runs as a container lexer and asks us, through
// SCN_STYLENEEDED, for exactly the range it is about to show or idly colour. Everything else
// (style colours and fonts, the Options settings, printing) keeps working through QsciLexer.
//
// Each line's end state goes into Scintilla's line state, which Scintilla shifts along when
// lines are inserted or removed; a request is answered from the start of its first line using
// the state stored for the line before, so an edit near the end of a large text restyles a
// few lines, not the text above them.
class XmlLexer : public QsciLexerCustom
{
    Q_OBJECT
public:
    enum Style {
        Default = xmlstyler::Default,
        XsltElement = xmlstyler::XsltElement,
        Element = xmlstyler::Element,
        TagPunctuation = xmlstyler::TagPunctuation,
        XsltAttribute = xmlstyler::XsltAttribute,
        Attribute = xmlstyler::Attribute,
        Value = xmlstyler::Value,
        XPathName = xmlstyler::XPathName,
        XPathFunction = xmlstyler::XPathFunction,
        XPathAxis = xmlstyler::XPathAxis,
        XPathVariable = xmlstyler::XPathVariable,
        XPathString = xmlstyler::XPathString,
        XPathNumber = xmlstyler::XPathNumber,
        XPathOperator = xmlstyler::XPathOperator,
        Comment = xmlstyler::Comment,
        CData = xmlstyler::CData,
        PIMarker = xmlstyler::PIMarker,
        ProcessingInstruction = xmlstyler::ProcessingInstruction,
        XmlDeclaration = xmlstyler::XmlDeclaration,
        Doctype = xmlstyler::Doctype,
        EntityRef = xmlstyler::EntityRef,
        StyleCount = xmlstyler::StyleCount
    };

    // The XSLT prefix is looked for in this many bytes at the top of the text: namespace
    // declarations sit on the root element.
    static constexpr long kPrefixScanBytes = 64 * 1024;

    explicit XmlLexer(QObject *parent = nullptr);

    const char *language() const override;
    QString description(int style) const override;
    QColor defaultColor(int style) const override;
    // As QScintilla's XML lexer has them, so double-click selects the same words.
    const char *wordCharacters() const override;
    const char *autoCompletionFillups() const override;

    void styleText(int start, int end) override;

    // Inactive, requests are left unanswered: the text keeps the styles it has and new text
    // stays plain until the lexer is active again.
    void setActive(bool on) { m_active = on; }
    bool isActive() const { return m_active; }

    // The prefix the text's namespace declarations bind to XSLT ("xsl" when none does).
    QString xsltPrefix() const;

private:
    xmlstyler::Styler m_styler;
    bool m_active = true;
    std::vector<unsigned char> m_styles;
    std::vector<xmlstyler::LineInfo> m_lines;
};
