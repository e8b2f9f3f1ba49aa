#pragma once

#include "engine/diagnostic.h"
#include "engine/engineprotocol.h"
#include "engine/stylesheetparams.h"
#include "engine/textfile.h"
#include "engine/xmldocument.h"
#include "model/textbuffer.h"

#include <QObject>
#include <QString>
#include <memory>

class QTimer;
struct RecoveryEntry;

// What a document window holds apart from how it shows it: a stylesheet and its XML source,
// where each came from and how its file is written, whether each has edits that are not saved,
// what the last parse of each said, what the last compilation of the stylesheet found, the
// parameters a transformation passes, and the engine work asked for it. A signal tells of every
// change; there is no widget here, so all of it works (and is tested) without a window.
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

    // Texts up to this size are parsed as they change; larger ones beside the window.
    static constexpr qsizetype kParseInlineBytes = 128 * 1024;
    // From this size on, a text is handed to its parse after a pause in the typing: copying it
    // out of the editor takes the window's thread about a millisecond per megabyte, too much
    // for every key.
    static constexpr qsizetype kHandOverPauseBytes = 2 << 20;
    static constexpr int kHandOverPauseMs = 400;
    // A smaller one waits for a burst of keys to end (a paste of many lines, a held key, keys
    // that arrive together after a busy moment): each verdict also rebuilds the outline.
    static constexpr int kHandOverBurstMs = 40;
    // How long after a stylesheet becomes well-formed it is compiled for its checks.
    static constexpr int kCheckPauseMs = 400;
    // How long after the last edit the recovery copy is written.
    static constexpr int kRecoveryDelayMs = 2000;

    explicit StylesheetDocument(QObject *parent = nullptr);
    ~StylesheetDocument() override;

    // This document's identity in the engine's queues and the parse service.
    qint64 engineId() const { return m_engineId; }

    // The texts. A window puts its editors in place of the plain buffers the document starts with.
    void setBuffer(Text text, std::unique_ptr<TextBuffer> buffer);
    QString text(Text text) const { return part(text).buffer->text(); }
    QByteArray utf8(Text text) const { return part(text).buffer->utf8(); }
    // The user's edit of a whole text (a window's editors tell of their edits with textEdited).
    void setText(Text text, const QString &value);
    // After an edit of a text's buffer: its changed state follows, the parse on edit runs and
    // the recovery copy follows a moment later.
    void textEdited(Text text);

    // Where a text was read from or saved to, a path or an address; empty for a text typed anew.
    QString fileName(Text text) const;
    void setFileName(Text text, const QString &fileName);
    // What the stylesheet is called: its file, or the new document's name.
    QString title() const;
    static QString newDocumentTitle() { return QStringLiteral("New XSLT File"); }

    // Where the stylesheet's relative references resolve: where it was read from or saved to.
    QString stylesheetBase() const { return m_stylesheetBase; }
    void setStylesheetBase(const QString &base) { m_stylesheetBase = base; }
    // The bases a transformation resolves each text's references against: its own place, or
    // for a text typed anew the folder the program runs in.
    QString effectiveBase(Text text) const;

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

    // Files are read and written as written (their bytes kept), or as the parser writes them.
    bool keepAsWritten() const { return m_keepAsWritten; }
    void setKeepAsWritten(bool on) { m_keepAsWritten = on; }

    // Loading. A text as it was read: the text, where it came from, how its file is written.
    struct Loaded {
        QString text;
        QString base;
        textfile::Format format;
    };
    // Makes the text of bytes read from source (base: where relative references resolve), as
    // the file holds it or as the parser writes it out. Safe on any thread.
    static bool decode(const QByteArray &bytes, const QString &source, const QString &base, bool keepAsWritten,
                       Loaded *loaded, QString *error);
    // Puts a text read from fileName in place: unchanged, parsed, without undo history.
    void putLoaded(Text text, const Loaded &loaded, const QString &fileName);
    // Reads a local file into a text; false with error set when it cannot be read or is not text.
    bool loadFile(Text text, const QString &path, QString *error);

    // Saving. Whether the text is well-formed now, with the parser's reason when not.
    bool checkWellFormed(Text text, QString *reason) const;
    enum class SaveResult { Saved, NotWellFormed, Failed };
    // Writes a text to path, as written in its file's format (or as the parser writes it out,
    // which only a well-formed text can be). Saved, the text takes path as its file and is
    // unchanged. error says why not; note, for the user, why the file went as UTF-8 when its
    // declaration names another encoding.
    SaveResult save(Text text, const QString &path, QString *error, QString *note = nullptr);

    // Parsing on edit.
    bool autoParse() const { return m_autoParse; }
    void setAutoParse(bool on) { m_autoParse = on; }
    Verdict verdict(Text text) const;
    // The last parse's report; its code is 0 for a well-formed text.
    XmlDocument::ParseError parseError(Text text) const;
    // Parses the latest text when parsing on edit is on: a small text at once, a large one
    // beside the window once the edits already waiting are in.
    void parse(Text text);
    // A parse of the latest text has started, or has given its report.
    void setChecking(Text text);
    void setParsed(Text text, const XmlDocument::ParseError &error);

    // The compile check: a well-formed stylesheet is compiled a moment later beside the
    // window; its diagnostics are the last compilation's (none while the text is malformed).
    QList<Diagnostic> compileDiagnostics() const { return m_compileDiagnostics; }
    void setCheckPause(int ms);
    // A larger stylesheet is not compiled while it is typed into: its compilation takes
    // twelve to twenty times its size in memory and seconds per pause in typing. A preview
    // still compiles it; processorHint() says so.
    static constexpr qsizetype kCheckLimitBytes = 16 << 20;
    void setCheckLimit(qsizetype bytes) { m_checkLimit = bytes; }

    // Which processor runs the transformations: by the stylesheet's version (2.0 and later in
    // Saxon-HE when it can run here, the rest in libxslt), or always the one chosen.
    enum class ProcessorChoice { Automatic, Libxslt, Saxon };
    void setProcessorChoice(ProcessorChoice choice) { m_processorChoice = choice; }
    ProcessorChoice processorChoice() const { return m_processorChoice; }
    // The processor for a stylesheet's text under the choice.
    engine::Processor processorFor(const QByteArray &stylesheet) const;
    // Whether the Saxon-HE helper can run beside this program (asked once; tests may say).
    static bool saxonAvailable();
    static void setSaxonAvailable(bool available);
    // A 2.0+ stylesheet that runs in libxslt only because Saxon-HE is missing here: the hint
    // what to install; a stylesheet too large for the compile check: that it is not checked;
    // or empty. Follows each compile check.
    QString processorHint() const { return m_processorHint; }

    // The parameters every transformation passes.
    QList<params::Value> parameters() const { return m_parameters; }
    void setParameters(const QList<params::Value> &values);
    // The texts, bases and parameters a transformation takes.
    preview::Input previewInput() const;
    // A transformation of the latest texts for this document; a later generation supersedes it.
    engine::Request transformRequest(preview::Target target, qint64 generation = 0) const;

    // The live render: asks the engine for the result of the latest texts; the answer to the
    // newest request comes with liveAnswered, older ones are dropped.
    void requestLivePreview();
    // What the live transformations record of where their output came from (tracing::Flag).
    void setLiveTracing(int flags) { m_liveTracing = flags; }
    int liveTracing() const { return m_liveTracing; }
    bool isLatestLive(const engine::Response &response) const;

    // Recovery. The copy of the unsaved texts (under the title given) is kept a moment after
    // the last edit, replaced on every change and removed once nothing is unsaved.
    RecoveryEntry recoveryEntry() const;
    void writeRecoveryCopy();
    void recoveryCopyFollows();
    void discardRecoveryCopy();
    void setRecoveryEnabled(bool on) { m_recoveryEnabled = on; }
    // Puts back texts kept by a program that ended without closing its windows, each changed
    // when it was, and written as its file was. Returns the source file to read again when
    // the source was kept unchanged (an address is not fetched again), else an empty name.
    QString restore(const RecoveryEntry &kept);

    // Ends everything the engine or the parse service still does for this document.
    void cancelWork();

signals:
    void fileNameChanged(StylesheetDocument::Text text);
    void changedStateChanged(StylesheetDocument::Text text, bool changed);
    void verdictChanged(StylesheetDocument::Text text);
    void compileChecked();
    void parametersChanged();
    void processorHintChanged();
    void liveAnswered(const engine::Response &response);
    void recoveryCopyFailed(const QString &error);

private:
    struct Part {
        std::unique_ptr<TextBuffer> buffer = std::make_unique<PlainTextBuffer>();
        QString fileName;
        textfile::Format format;
        bool changed = false;
        // Whether the buffer's save point stands for the file's text. It does not for text
        // restored after a crash: that is unsaved whatever undo does to it.
        bool savePoint = true;
        Verdict verdict = Verdict::WellFormed;
        XmlDocument::ParseError error;
        qint64 parseGeneration = 0;
        QTimer *handOver = nullptr;
    };
    Part &part(Text text) { return text == Text::Stylesheet ? m_stylesheet : m_source; }
    const Part &part(Text text) const { return text == Text::Stylesheet ? m_stylesheet : m_source; }
    void updateChanged(Text text);
    QString parseBase(Text text) const;
    void parsed(Text text, const XmlDocument::ParseError &error);
    void handOver(Text text);
    void submitCheck();
    void setProcessorHint(const QString &hint);
    void setCompileDiagnostics(const QList<Diagnostic> &diagnostics);

    Part m_stylesheet;
    Part m_source;
    QString m_stylesheetBase;
    bool m_loading = false;
    bool m_autoParse = false;
    bool m_keepAsWritten = true;
    ProcessorChoice m_processorChoice = ProcessorChoice::Automatic;
    QString m_processorHint;
    qsizetype m_checkLimit = kCheckLimitBytes;
    qint64 m_engineId = 0;
    std::unique_ptr<XmlDocument> m_inlineParse; // reused by the small stylesheet's parses
    QTimer *m_checkTimer = nullptr;
    qint64 m_checkGeneration = 0;
    QList<Diagnostic> m_compileDiagnostics;
    QList<params::Value> m_parameters;
    qint64 m_liveGeneration = 0;
    int m_liveTracing = 0;
    QString m_recoveryId;
    QTimer *m_recoveryTimer = nullptr;
    bool m_recoveryEnabled = true;
};
