#pragma once

#include <algorithm>
#include <limits>

#include "components/syntaxbox.h"
#include "model/textbuffer.h"

// A document's text held by the editor that shows it.
class EditorBuffer : public TextBuffer
{
public:
    explicit EditorBuffer(SyntaxBox *editor)
        : m_editor(editor)
    {
    }
    QString text() const override { return m_editor->text(); }
    QByteArray utf8() const override { return m_editor->utf8Text(); }
    qsizetype utf8Length() const override { return m_editor->SendScintilla(QsciScintillaBase::SCI_GETLENGTH); }
    void replaceAll(const QString &text) override
    {
        m_editor->SendScintilla(QsciScintillaBase::SCI_BEGINUNDOACTION);
        m_editor->selectAll();
        m_editor->replaceSelection(text);
        m_editor->SendScintilla(QsciScintillaBase::SCI_ENDUNDOACTION);
    }
    void load(const QString &text, const QByteArray &lineBreak) override
    {
        // The pane is coloured once at the end instead of piece by piece while the text arrives.
        const bool colour = m_editor->autoColorize();
        m_editor->setAutoColorize(false);
        m_editor->setText(QString());
        // Room for the text and a sixth more: the editor otherwise holds a large text with no
        // room to spare, and the first key typed into it copies the whole text (and its
        // styles) into a larger buffer. The room not yet typed into costs no memory.
        const long room = long(std::min<qsizetype>(text.size() + text.size() / 6 + 4096, std::numeric_limits<int>::max()));
        m_editor->SendScintilla(QsciScintillaBase::SCI_ALLOCATE, room);
        m_editor->setText(text);
        // New lines follow the file's own line breaks.
        m_editor->setEolMode(lineBreak == "\r\n" ? QsciScintilla::EolWindows
                             : lineBreak == "\r" ? QsciScintilla::EolMac
                                                 : QsciScintilla::EolUnix);
        m_editor->colorizeAll();
        m_editor->setAutoColorize(colour);
        m_editor->clearUndoHistory();
    }
    bool isModified() const override { return m_editor->isModified(); }
    void setSavePoint() override { m_editor->setModified(false); }

private:
    SyntaxBox *m_editor;
};
