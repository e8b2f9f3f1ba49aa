#include "document/stylesheetinsight.h"

#include "engine/textfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QThreadPool>
#include <QUrl>

#include <malloc.h>

struct StylesheetInsight::Built {
    qint64 generation = 0;
    stylesheet::Model model;
    QList<stylesheet::Finding> findings;
    QHash<QString, QString> texts;
    QString mainFile;
};

StylesheetInsight::StylesheetInsight(Inputs inputs, QObject *parent)
    : QObject(parent)
    , m_inputs(std::move(inputs))
{
    m_pause.setSingleShot(true);
    m_pause.setInterval(kPauseMs);
    connect(&m_pause, &QTimer::timeout, this, [this] {
        const std::optional<bool> wellFormed = m_inputs.wellFormed ? m_inputs.wellFormed() : std::optional<bool>(true);
        if (!wellFormed) {
            m_waitingForVerdict = true; // the verdict starts the build
            return;
        }
        // Not well-formed: the model and the marks of the last well-formed text stay.
        if (*wellFormed)
            start();
    });
}

StylesheetInsight::~StylesheetInsight()
{
    *m_alive = false;
}

void StylesheetInsight::textChanged()
{
    ++m_generation;
    m_waitingForVerdict = false;
    m_pause.start();
}

void StylesheetInsight::verdictKnown()
{
    if (!m_waitingForVerdict)
        return;
    m_waitingForVerdict = false;
    const std::optional<bool> wellFormed = m_inputs.wellFormed ? m_inputs.wellFormed() : std::optional<bool>(true);
    if (wellFormed.value_or(false))
        start();
}

StylesheetInsight::Built StylesheetInsight::buildFrom(const QByteArray &utf8, const QString &file,
                                                      QHash<QString, QByteArray> unsaved,
                                                      const std::optional<Inputs::Includer> &includer)
{
    Built built;
    built.mainFile = file;
    // A module comes from its window when it has unsaved edits, else from disk: only a local
    // regular file, and only one that decodes as text.
    const stylesheet::ModuleReader read = [&built, &unsaved](const QString &path) -> std::optional<QString> {
        if (const auto it = unsaved.find(path); it != unsaved.end()) {
            const QString text = QString::fromUtf8(*it);
            built.texts.insert(path, text);
            return text;
        }
        const QFileInfo info(path);
        if (!info.isFile() || info.size() > 64 * 1024 * 1024)
            return std::nullopt;
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return std::nullopt;
        const QByteArray bytes = f.readAll();
        const textfile::Decoded decoded = textfile::decode(bytes);
        built.texts.insert(path, decoded.text);
        return decoded.text;
    };
    // A module is read as part of the stylesheet that includes it, its own text as it is now;
    // when that one no longer reaches it, on its own.
    if (includer && !file.isEmpty()) {
        unsaved.insert(file, utf8);
        built.model = stylesheet::build(QString::fromUtf8(includer->text), includer->path, read);
        built.texts.insert(includer->path, QString::fromUtf8(includer->text));
        built.texts.remove(file);
        if (built.model.files.contains(file)) {
            built.findings = stylesheet::check(built.model, built.model.version);
            return built;
        }
        built.texts.clear();
    }
    built.model = stylesheet::build(QString::fromUtf8(utf8), file, read);
    built.findings = stylesheet::check(built.model, built.model.version);
    return built;
}

void StylesheetInsight::start()
{
    m_pause.stop();
    if (m_running)
        return; // the build under way starts the next one when it ends
    m_running = true;
    const qint64 generation = m_generation;
    const QByteArray text = m_inputs.text();
    const QString file = m_inputs.file ? m_inputs.file() : QString();
    const QHash<QString, QByteArray> unsaved = m_inputs.unsavedModules ? m_inputs.unsavedModules() : QHash<QString, QByteArray>();
    const std::optional<Inputs::Includer> includer = m_inputs.includer ? m_inputs.includer() : std::nullopt;
    const QPointer<StylesheetInsight> self(this);
    const std::shared_ptr<bool> alive = m_alive;
    QThreadPool::globalInstance()->start([self, alive, generation, text, file, unsaved, includer] {
        auto built = std::make_shared<Built>(buildFrom(text, file, unsaved, includer));
        built->generation = generation;
        // A large text's decoded copy and the reading's lists are freed now but would stay
        // with this thread's allocator: back to the system with them.
        if (text.size() > kTrimAfterBytes)
            malloc_trim(0);
        QMetaObject::invokeMethod(qApp, [self, alive, built] {
            if (!*alive || !self)
                return;
            self->m_running = false;
            self->publish(*built);
            // The text changed meanwhile and its pause is over: build again.
            if (self->m_generation != built->generation && !self->m_pause.isActive() && !self->m_waitingForVerdict)
                self->start();
        });
    });
}

void StylesheetInsight::publish(const Built &built)
{
    if (built.generation != m_generation)
        return; // its places no longer match the text
    m_model = built.model;
    m_findings = built.findings;
    m_texts = built.texts;
    m_mainFile = built.mainFile;
    m_builtGeneration = built.generation;
    m_built = true;
    emit modelChanged();
    if (m_then) {
        const std::function<void()> then = std::move(m_then);
        m_then = nullptr;
        then();
    }
}

void StylesheetInsight::whenCurrent(const std::function<void()> &then)
{
    if (isCurrent()) {
        then();
        return;
    }
    const QByteArray text = m_inputs.text();
    if (text.size() <= kInlineBytes) {
        m_pause.stop();
        Built built = buildFrom(text, m_inputs.file ? m_inputs.file() : QString(),
                                m_inputs.unsavedModules ? m_inputs.unsavedModules() : QHash<QString, QByteArray>(),
                                m_inputs.includer ? m_inputs.includer() : std::nullopt);
        built.generation = m_generation;
        m_then = then;
        publish(built);
        return;
    }
    m_then = then;
    if (!m_running)
        start();
}

std::optional<int> StylesheetInsight::referenceAt(int offset) const
{
    for (int i = 0; i < m_model.references.size(); ++i) {
        const stylesheet::Place &p = m_model.references[i].place;
        if (p.file == m_mainFile && offset >= p.offset && offset <= p.offset + p.length)
            return i;
    }
    return std::nullopt;
}

std::optional<int> StylesheetInsight::declarationAt(int offset) const
{
    return m_model.declarationAt(m_mainFile, offset);
}

QString StylesheetInsight::moduleOf(const stylesheet::Declaration &d)
{
    return stylesheet::modulePath(d.place.file, d.name);
}
