#pragma once

#include <QByteArray>
#include <QString>

// Where a document's text lives. A window shows it in an editor, which then holds the text
// (the document never keeps a second copy of a large file); without a window it is a string.
class TextBuffer
{
public:
    virtual ~TextBuffer() = default;
    virtual QString text() const = 0;
    virtual QByteArray utf8() const = 0;
    // The text's length in UTF-8 bytes, without making the text.
    virtual qsizetype utf8Length() const = 0;
    // An edit that replaces the whole text, undone as one step.
    virtual void replaceAll(const QString &text) = 0;
    // Puts a text read from a file in place: no undo history; new lines typed later follow
    // lineBreak.
    virtual void load(const QString &text, const QByteArray &lineBreak) = 0;
    // Whether the text differs from the one at the save point (an undo back there makes it
    // equal again).
    virtual bool isModified() const = 0;
    virtual void setSavePoint() = 0;
};

// A text held as a string, for a document no window shows.
class PlainTextBuffer : public TextBuffer
{
public:
    QString text() const override { return m_text; }
    QByteArray utf8() const override { return m_text.toUtf8(); }
    qsizetype utf8Length() const override { return utf8().size(); }
    void replaceAll(const QString &text) override
    {
        m_text = text;
        m_modified = m_text != m_saved;
    }
    void load(const QString &text, const QByteArray &) override
    {
        m_text = m_saved = text;
        m_modified = false;
    }
    bool isModified() const override { return m_modified; }
    void setSavePoint() override
    {
        m_saved = m_text;
        m_modified = false;
    }

private:
    QString m_text;
    QString m_saved;
    bool m_modified = false;
};
