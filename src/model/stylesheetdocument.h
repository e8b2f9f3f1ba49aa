#pragma once

#include "engine/textfile.h"
#include "engine/xmldocument.h"

#include <QObject>
#include <QString>

// What a document window holds apart from how it shows it: a stylesheet and its XML source,
// where each came from, whether each has edits that are not saved, and what the last parse of
// each said. A signal tells of every change; there is no widget here.
class StylesheetDocument : public QObject
{
    Q_OBJECT
public:
    enum class Text { Stylesheet, Source };
    // The last word on a text's well-formedness.
    enum class Verdict {
        Checking,   // a parse of the latest text is under way
        WellFormed,
        Malformed,  // parseError() says where and why
    };

    explicit StylesheetDocument(QObject *parent = nullptr);

    // Where a text was read from or saved to, a path or an address; empty for a text typed anew.
    QString fileName(Text text) const;
    void setFileName(Text text, const QString &fileName);

    // Where the stylesheet's relative references resolve: where it was read from or saved to.
    QString stylesheetBase() const { return m_stylesheetBase; }
    void setStylesheetBase(const QString &base) { m_stylesheetBase = base; }

    // How a text's file is written: its encoding, mark and line breaks.
    textfile::Format format(Text text) const { return part(text).format; }
    void setFormat(Text text, const textfile::Format &format) { part(text).format = format; }

    // Whether a text has edits that are not saved.
    bool isChanged(Text text) const;
    bool isChanged() const { return isChanged(Text::Stylesheet) || isChanged(Text::Source); }
    void setChanged(Text text, bool changed);

    // While a text is being put in place by a load or a restore, its edits are not the user's.
    bool isLoading() const { return m_loading; }
    void setLoading(bool loading) { m_loading = loading; }

    Verdict verdict(Text text) const;
    // The last parse's report; its code is 0 for a well-formed text.
    XmlDocument::ParseError parseError(Text text) const;
    // A parse of the latest text has started, or has given its report.
    void setChecking(Text text);
    void setParsed(Text text, const XmlDocument::ParseError &error);

signals:
    void fileNameChanged(StylesheetDocument::Text text);
    void changedStateChanged(StylesheetDocument::Text text, bool changed);
    void verdictChanged(StylesheetDocument::Text text);

private:
    struct Part {
        QString fileName;
        textfile::Format format;
        bool changed = false;
        Verdict verdict = Verdict::WellFormed;
        XmlDocument::ParseError error;
    };
    Part &part(Text text) { return text == Text::Stylesheet ? m_stylesheet : m_source; }
    const Part &part(Text text) const { return text == Text::Stylesheet ? m_stylesheet : m_source; }

    Part m_stylesheet;
    Part m_source;
    QString m_stylesheetBase;
    bool m_loading = false;
};
