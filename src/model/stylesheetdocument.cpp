#include "model/stylesheetdocument.h"

#include "engine/engineclient.h"
#include "engine/fileio.h"
#include "engine/parseservice.h"
#include "engine/recoverystore.h"
#include "engine/saxonhelper.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QTimer>
#include <QUuid>
#include <atomic>
#include <optional>

namespace {
bool isUrl(const QString &source)
{
    return source.contains(QStringLiteral("://"));
}
} // namespace

StylesheetDocument::StylesheetDocument(QObject *parent)
    : QObject(parent)
{
    static std::atomic<qint64> documents{0};
    m_engineId = ++documents;
    m_recoveryId = QUuid::createUuid().toString(QUuid::Id128);
    for (Text text : {Text::Stylesheet, Text::Source}) {
        Part &p = part(text);
        p.handOver = new QTimer(this);
        p.handOver->setSingleShot(true);
        p.handOver->setInterval(0);
        connect(p.handOver, &QTimer::timeout, this, [this, text] { handOver(text); });
    }
    m_checkTimer = new QTimer(this);
    m_checkTimer->setSingleShot(true);
    m_checkTimer->setInterval(kCheckPauseMs);
    connect(m_checkTimer, &QTimer::timeout, this, &StylesheetDocument::submitCheck);
    m_recoveryTimer = new QTimer(this);
    m_recoveryTimer->setSingleShot(true);
    m_recoveryTimer->setInterval(kRecoveryDelayMs);
    // The copy after a pause in typing is written beside the window: syncing a large text to
    // the disk and reading it back takes a while.
    connect(m_recoveryTimer, &QTimer::timeout, this, [this] {
        if (isChanged() && m_recoveryEnabled)
            recoveryStore().writeLater(recoveryEntry(), this, [this](const QString &error) { emit recoveryCopyFailed(error); });
    });
}

StylesheetDocument::~StylesheetDocument()
{
    cancelWork();
}

void StylesheetDocument::setBuffer(Text text, std::unique_ptr<TextBuffer> buffer)
{
    part(text).buffer = std::move(buffer);
}

void StylesheetDocument::setText(Text text, const QString &value)
{
    part(text).buffer->replaceAll(value);
    textEdited(text);
}

void StylesheetDocument::textEdited(Text text)
{
    // A load parses once its text is in and the document knows its name.
    if (m_loading)
        return;
    parse(text);
    // An edit marks the text changed whether or not it is being parsed, so no edit can be
    // closed away without the save prompt.
    updateChanged(text);
    // A copy of the unsaved text follows a moment after the typing stops.
    if (part(text).changed)
        m_recoveryTimer->start();
}

void StylesheetDocument::updateChanged(Text text)
{
    const Part &p = part(text);
    const bool changed = !p.savePoint || p.buffer->isModified();
    if (changed == p.changed)
        return;
    setChanged(text, changed);
    // Back to the text on disk: nothing of it to recover.
    if (!changed)
        recoveryCopyFollows();
}

QString StylesheetDocument::fileName(Text text) const
{
    return part(text).fileName;
}

void StylesheetDocument::setFileName(Text text, const QString &fileName)
{
    if (part(text).fileName == fileName)
        return;
    part(text).fileName = fileName;
    emit fileNameChanged(text);
}

QString StylesheetDocument::title() const
{
    return m_stylesheet.fileName.isEmpty() ? newDocumentTitle() : m_stylesheet.fileName;
}

QString StylesheetDocument::parseBase(Text text) const
{
    // A parse of a new stylesheet resolves nothing against the program's folder.
    return text == Text::Stylesheet ? m_stylesheetBase : effectiveBase(text);
}

QString StylesheetDocument::effectiveBase(Text text) const
{
    const QString own = text == Text::Stylesheet ? m_stylesheetBase : m_source.fileName;
    // Relative references of a text typed into a new window resolve against the folder the
    // program runs in.
    return own.isEmpty() ? QDir::currentPath() + QStringLiteral("/") : own;
}

bool StylesheetDocument::isChanged(Text text) const
{
    return part(text).changed;
}

void StylesheetDocument::setChanged(Text text, bool changed)
{
    if (part(text).changed == changed)
        return;
    part(text).changed = changed;
    emit changedStateChanged(text, changed);
}

bool StylesheetDocument::decode(const QByteArray &bytes, const QString &source, const QString &base, bool keepAsWritten,
                                Loaded *loaded, QString *error)
{
    loaded->base = base;
    if (keepAsWritten) {
        // The text as the file holds it; whether it is well-formed shows once it is in.
        const textfile::Decoded decoded = textfile::decode(bytes);
        if (decoded.text.contains(QChar(0))) {
            *error = QStringLiteral("\"%1\" is not a text document: it holds bytes that no XML text may contain.\n").arg(source);
            return false;
        }
        loaded->text = decoded.text;
        loaded->format = decoded.format;
        return true;
    }
    // The parser's own reading and writing out, as the document is shown without the option.
    XmlDocument doc;
    if (!doc.loadBytes(bytes, base)) {
        *error = doc.parseError().reason;
        return false;
    }
    loaded->text = doc.xml();
    return true;
}

void StylesheetDocument::putLoaded(Text text, const Loaded &loaded, const QString &fileName)
{
    Part &p = part(text);
    m_loading = true;
    p.buffer->load(loaded.text, loaded.format.lineBreak);
    m_loading = false;
    setFileName(text, fileName);
    if (text == Text::Stylesheet)
        m_stylesheetBase = loaded.base;
    p.format = loaded.format;
    p.savePoint = true;
    p.buffer->setSavePoint();
    setChanged(text, false);
    recoveryCopyFollows();
    parse(text);
    // A stylesheet for Saxon: its helper starts now, while the user looks at the text.
    if (text == Text::Stylesheet && processorFor(loaded.text.left(64 * 1024).toUtf8()) == engine::Processor::Saxon)
        EngineClient::shared().warmUp(engine::Processor::Saxon);
}

bool StylesheetDocument::loadFile(Text text, const QString &path, QString *error)
{
    QByteArray bytes;
    Loaded loaded;
    const QString base = QFileInfo(path).absoluteFilePath();
    if (!FileIO::readRegularFile(path, &bytes, error) || !decode(bytes, path, base, m_keepAsWritten, &loaded, error))
        return false;
    putLoaded(text, loaded, text == Text::Stylesheet ? path : base);
    return true;
}

bool StylesheetDocument::checkWellFormed(Text text, QString *reason) const
{
    XmlDocument doc;
    if (doc.loadXMLUtf8(utf8(text), fileName(text)))
        return true;
    *reason = doc.parseError().reason.section(QLatin1Char('\n'), 0, 0);
    return false;
}

StylesheetDocument::SaveResult StylesheetDocument::save(Text text, const QString &path, QString *error, QString *note)
{
    Part &p = part(text);
    if (note)
        note->clear();
    if (!m_keepAsWritten) {
        // The parser's serialization: only what parses is written.
        XmlDocument doc;
        if (!doc.loadXMLUtf8(p.buffer->utf8(), path)) {
            *error = doc.parseError().reason;
            return SaveResult::NotWellFormed;
        }
        if (!doc.save(path, error))
            return SaveResult::Failed;
    } else {
        // The encoding is the one the declaration names now, not the one the file was read in.
        const textfile::Encoded out = textfile::encodeForSave(p.buffer->text(), p.format);
        // What reaches the disk must read back as the text it was written from.
        const auto readsBack = [&](const QByteArray &back, QString *why) {
            if (textfile::decode(back).text != out.text) {
                *why = QStringLiteral("the written file would not read back as the text it was written from");
                return false;
            }
            return true;
        };
        if (!FileIO::writeFileAtomically(path, out.bytes, error, readsBack))
            return SaveResult::Failed;
        p.format = out.format;
        if (note && out.rewrite == textfile::Rewrite::Unrepresentable)
            *note = QStringLiteral("Saved in UTF-8: the text holds characters that %1 cannot represent; "
                                   "the file's declaration now says UTF-8.")
                        .arg(QString::fromLatin1(out.wanted));
        else if (note && out.rewrite == textfile::Rewrite::Unwritable)
            *note = QStringLiteral("Saved in UTF-8: %1 is not an encoding Zendrik can write; "
                                   "the file's declaration now says UTF-8.")
                        .arg(QString::fromLatin1(out.wanted));
    }
    setFileName(text, path);
    if (text == Text::Stylesheet)
        m_stylesheetBase = path;
    p.buffer->setSavePoint();
    p.savePoint = true;
    setChanged(text, false);
    recoveryCopyFollows();
    return SaveResult::Saved;
}

StylesheetDocument::Verdict StylesheetDocument::verdict(Text text) const
{
    return part(text).verdict;
}

XmlDocument::ParseError StylesheetDocument::parseError(Text text) const
{
    return part(text).error;
}

void StylesheetDocument::parse(Text text)
{
    if (!m_autoParse || m_loading)
        return;
    Part &p = part(text);
    ++p.parseGeneration;
    const qsizetype length = p.buffer->utf8Length();
    if (text == Text::Source && length < 1024 && preview::isSourceEmpty(p.buffer->utf8())) {
        // No source yet is nothing to complain about.
        parsed(text, {});
    } else if (length <= kParseInlineBytes) {
        // A text this small is parsed before the next frame is due: at once, in place.
        if (!m_inlineParse)
            m_inlineParse = std::make_unique<XmlDocument>();
        m_inlineParse->loadXMLUtf8(p.buffer->utf8(), parseBase(text));
        parsed(text, m_inlineParse->parseError());
    } else {
        // A large one is parsed beside the window; typing goes on meanwhile. The text is
        // handed over once a burst of keys has gone in, not per key; a text whose copy alone
        // takes milliseconds, once the typing pauses.
        setChecking(text);
        p.handOver->start(length >= kHandOverPauseBytes ? kHandOverPauseMs : kHandOverBurstMs);
    }
}

void StylesheetDocument::handOver(Text text)
{
    Part &p = part(text);
    if (!m_autoParse || p.verdict != Verdict::Checking)
        return;
    const ParseService::Pane pane = text == Text::Stylesheet ? ParseService::Pane::Stylesheet : ParseService::Pane::Source;
    ParseService::shared().submit(m_engineId, pane, p.parseGeneration, p.buffer->utf8(), parseBase(text), this,
                                  [this, text](qint64 generation, const XmlDocument::ParseError &error) {
                                      // Only the verdict on the latest text counts.
                                      if (generation == part(text).parseGeneration && m_autoParse)
                                          parsed(text, error);
                                  });
}

void StylesheetDocument::setChecking(Text text)
{
    if (part(text).verdict == Verdict::Checking)
        return;
    part(text).verdict = Verdict::Checking;
    emit verdictChanged(text);
}

void StylesheetDocument::setParsed(Text text, const XmlDocument::ParseError &error)
{
    Part &p = part(text);
    p.error = error;
    p.verdict = error.code == 0 ? Verdict::WellFormed : Verdict::Malformed;
    emit verdictChanged(text);
}

void StylesheetDocument::parsed(Text text, const XmlDocument::ParseError &error)
{
    if (text == Text::Stylesheet) {
        // A well-formed stylesheet is compiled a moment later, beside the window; the verdicts
        // of a compilation of an older text go.
        if (error.code == 0) {
            m_checkTimer->start();
        } else {
            m_checkTimer->stop();
            ++m_checkGeneration;
            setCompileDiagnostics({});
        }
    }
    setParsed(text, error);
}

void StylesheetDocument::setCheckPause(int ms)
{
    m_checkTimer->setInterval(ms);
}

void StylesheetDocument::setProcessorHint(const QString &hint)
{
    // Said once per stylesheet state, beside the compile check's own findings.
    if (hint != m_processorHint) {
        m_processorHint = hint;
        emit processorHintChanged();
    }
}

void StylesheetDocument::submitCheck()
{
    const qsizetype size = part(Text::Stylesheet).buffer->utf8Length();
    if (size > m_checkLimit) {
        ++m_checkGeneration;
        setCompileDiagnostics({});
        setProcessorHint(QStringLiteral("This stylesheet (%1 MB) is too large to be compiled while you type; a preview compiles it "
                                        "and shows its errors.")
                             .arg(QLocale().toString(double(size) / (1 << 20), 'f', 0)));
        return;
    }
    engine::Request request = transformRequest(preview::Target::Check, ++m_checkGeneration);
    const double version = saxon::xsltVersion(request.input.stylesheet);
    setProcessorHint(m_processorChoice == ProcessorChoice::Automatic && version >= 2.0 && !saxonAvailable()
                         ? QStringLiteral("This stylesheet is XSLT %1, which libxslt runs only as far as XSLT 1.0 goes. "
                                          "Install %2 to run it in Saxon-HE.")
                               .arg(QString::number(version, 'f', 1), QLatin1String(saxon::kPackages))
                         : QString());
    EngineClient::shared().submit(std::move(request), engine::Channel::Check, this, [this](const engine::Response &r) {
        if (!r.superseded() && r.generation == m_checkGeneration)
            setCompileDiagnostics(r.result.diagnostics);
    });
}

void StylesheetDocument::setCompileDiagnostics(const QList<Diagnostic> &diagnostics)
{
    m_compileDiagnostics = diagnostics;
    emit compileChecked();
}

void StylesheetDocument::setParameters(const QList<params::Value> &values)
{
    if (values == m_parameters)
        return;
    m_parameters = values;
    emit parametersChanged();
}

preview::Input StylesheetDocument::previewInput() const
{
    return {utf8(Text::Stylesheet), effectiveBase(Text::Stylesheet), utf8(Text::Source), effectiveBase(Text::Source),
            m_parameters};
}

engine::Request StylesheetDocument::transformRequest(preview::Target target, qint64 generation) const
{
    engine::Request request;
    request.kind = engine::Kind::Transform;
    request.window = m_engineId;
    request.generation = generation;
    request.target = target;
    request.input = previewInput();
    request.processor = processorFor(request.input.stylesheet);
    return request;
}

engine::Processor StylesheetDocument::processorFor(const QByteArray &stylesheet) const
{
    switch (m_processorChoice) {
    case ProcessorChoice::Libxslt:
        return engine::Processor::Libxslt;
    case ProcessorChoice::Saxon:
        return engine::Processor::Saxon;
    case ProcessorChoice::Automatic:
        break;
    }
    // Where Saxon cannot run, a 2.0 stylesheet runs in libxslt as it always did (forwards-compatible).
    return saxon::xsltVersion(stylesheet) >= 2.0 && saxonAvailable() ? engine::Processor::Saxon : engine::Processor::Libxslt;
}

namespace {
std::optional<bool> &saxonHere()
{
    static std::optional<bool> available;
    return available;
}
} // namespace

bool StylesheetDocument::saxonAvailable()
{
    if (!saxonHere())
        saxonHere() = saxon::available(QCoreApplication::applicationDirPath());
    return *saxonHere();
}

void StylesheetDocument::setSaxonAvailable(bool available)
{
    saxonHere() = available;
}

void StylesheetDocument::requestLivePreview()
{
    // While the typing goes on the pipeline's own parse finds the well-formedness errors.
    engine::Request request = transformRequest(preview::Target::Browser, ++m_liveGeneration);
    request.input.trace = m_liveTracing;
    EngineClient::shared().submit(std::move(request), engine::Channel::Live, this,
                                  [this](const engine::Response &r) { emit liveAnswered(r); });
}

bool StylesheetDocument::isLatestLive(const engine::Response &response) const
{
    // An answer about an older text than the newest asked for is of no use any more.
    return !response.superseded() && response.generation == m_liveGeneration;
}

RecoveryEntry StylesheetDocument::recoveryEntry() const
{
    RecoveryEntry copy;
    copy.id = m_recoveryId;
    copy.fileName = m_stylesheet.fileName;
    copy.caption = title();
    // Everything a save needs comes back with the text: a file's encoding, mark and line
    // breaks are not in the text itself.
    copy.text = utf8(Text::Stylesheet);
    copy.changed = m_stylesheet.changed;
    copy.format = m_stylesheet.format;
    copy.sourceFileName = m_source.fileName;
    copy.sourceChanged = m_source.changed;
    if (m_source.changed)
        copy.sourceText = utf8(Text::Source);
    copy.sourceFormat = m_source.format;
    return copy;
}

void StylesheetDocument::writeRecoveryCopy()
{
    if (!isChanged() || !m_recoveryEnabled)
        return;
    QString error;
    if (!recoveryStore().write(recoveryEntry(), &error))
        emit recoveryCopyFailed(error);
}

void StylesheetDocument::recoveryCopyFollows()
{
    m_recoveryTimer->stop();
    if (!m_recoveryEnabled)
        return;
    if (isChanged())
        writeRecoveryCopy();
    else
        recoveryStore().remove(m_recoveryId);
}

void StylesheetDocument::discardRecoveryCopy()
{
    m_recoveryEnabled = false;
    m_recoveryTimer->stop();
    recoveryStore().remove(m_recoveryId);
}

QString StylesheetDocument::restore(const RecoveryEntry &kept)
{
    m_loading = true;
    m_stylesheet.buffer->load(QString::fromUtf8(kept.text), kept.format.lineBreak);
    if (kept.sourceChanged)
        m_source.buffer->load(QString::fromUtf8(kept.sourceText), kept.sourceFormat.lineBreak);
    m_loading = false;
    m_stylesheet.format = kept.format;
    m_stylesheet.savePoint = !kept.changed;
    setFileName(Text::Stylesheet, kept.fileName);
    m_stylesheetBase = kept.fileName;
    setChanged(Text::Stylesheet, kept.changed);
    parse(Text::Stylesheet);
    if (kept.sourceChanged) {
        setFileName(Text::Source, kept.sourceFileName);
        m_source.format = kept.sourceFormat;
        m_source.savePoint = false;
        setChanged(Text::Source, true);
        parse(Text::Source);
        return {};
    }
    // An unchanged source is read again from its file; an address is not fetched at start-up.
    return isUrl(kept.sourceFileName) ? QString() : kept.sourceFileName;
}

void StylesheetDocument::cancelWork()
{
    m_checkTimer->stop();
    m_stylesheet.handOver->stop();
    m_source.handOver->stop();
    EngineClient::shared().cancel(m_engineId);
    ParseService::shared().cancel(m_engineId);
}
