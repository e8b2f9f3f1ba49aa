#pragma once

#include "engine/stylesheetmodel.h"

#include <QHash>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

// What a window knows of its stylesheet: the model of its declarations and references across
// the include and import tree, and the checks over it. The model is built beside the window a
// short pause after the text changes (the modules from disk, or from the open windows' unsaved
// texts), and published only for the text it was built from, so that its places match the
// editor's text when it arrives.
class StylesheetInsight : public QObject
{
    Q_OBJECT
public:
    struct Inputs {
        // The stylesheet's text as UTF-8, copied from the editor (cheap for any size).
        std::function<QByteArray()> text;
        // Its absolute path, empty while it has no file.
        std::function<QString()> file;
        // The unsaved texts of the other open stylesheets as UTF-8, by absolute path.
        std::function<QHash<QString, QByteArray>()> unsavedModules;
        // An open stylesheet whose model includes or imports this one: its path and text. A
        // module is read as part of it, so that what the includer declares is known here.
        struct Includer {
            QString path;
            QByteArray text;
        };
        std::function<std::optional<Includer>()> includer;
        // Whether the latest text is well-formed; nullopt while its parse runs. A model of a
        // text cut short by an error would report what lies after the error as missing, so the
        // checks wait for a well-formed text.
        std::function<std::optional<bool>()> wellFormed;
    };
    // Up to this size the model of the current text is built at once when a command needs it;
    // larger texts are built beside the window and the command waits for them.
    static constexpr qsizetype kInlineBytes = 128 * 1024;
    static constexpr int kPauseMs = 300;
    static constexpr qsizetype kTrimAfterBytes = 1024 * 1024;

    explicit StylesheetInsight(Inputs inputs, QObject *parent = nullptr);
    ~StylesheetInsight() override;

    // The text changed: a new model follows after a pause.
    void textChanged();
    // The text's well-formedness became known: a model waits for it.
    void verdictKnown();

    // The model as last built, and whether it is the model of the text as it is now.
    const stylesheet::Model &model() const { return m_model; }
    bool isCurrent() const { return m_builtGeneration == m_generation && m_built; }
    QList<stylesheet::Finding> findings() const { return m_findings; }
    // The texts of the modules the model read, by path (the stylesheet's own is the editor's).
    QString textOf(const QString &file) const { return m_texts.value(file); }
    // The stylesheet the model was read from: this one's file, or the includer's.
    // Counts the changes of the text: a model is current while it was built at this count.
    qint64 generation() const { return m_generation; }
    // This window's stylesheet, whose findings and names the window shows.
    QString mainFile() const { return m_mainFile; }

    // Runs then() with a model of the current text: at once when there is one (building it
    // first when the text is small), else when the one under way arrives. A later request
    // replaces one that still waits.
    void whenCurrent(const std::function<void()> &then);

    // The reference or declaration name at an offset of the stylesheet's own text.
    std::optional<int> referenceAt(int offset) const;
    std::optional<int> declarationAt(int offset) const;
    // The path an include or import names, resolved against the file it is in.
    static QString moduleOf(const stylesheet::Declaration &d);

signals:
    // A model of the current text arrived (with its findings).
    void modelChanged();

private:
    struct Built;
    void start();
    void publish(const Built &built);
    static Built buildFrom(const QByteArray &text, const QString &file, QHash<QString, QByteArray> unsaved,
                           const std::optional<Inputs::Includer> &includer);

    Inputs m_inputs;
    QTimer m_pause;
    qint64 m_generation = 0;
    qint64 m_builtGeneration = -1;
    bool m_built = false;
    bool m_running = false;
    bool m_waitingForVerdict = false;
    stylesheet::Model m_model;
    QList<stylesheet::Finding> m_findings;
    QHash<QString, QString> m_texts;
    QString m_mainFile;
    std::function<void()> m_then;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
