#pragma once

#include "engine/engineprotocol.h"

#include <QPointer>
#include <QTreeWidget>
#include <QWidget>
#include <functional>

class QLabel;
class QLineEdit;
class QTimer;
class QToolButton;

// The XPath bar over the XML pane: an expression evaluated against the source text as it is in
// the editor, in a worker process of the window's own (an expression can take any time and
// memory a large source allows), with the nodes it selects listed in results(), which the window
// places under the bar.
class XPathBar : public QWidget
{
    Q_OBJECT
public:
    // window: the document window's identity with the engine; source gives the XML pane's text
    // (UTF-8) and where it came from; namespaces the prefixes the stylesheet declares; processor
    // which engine evaluates (libxslt: XPath 1.0, Saxon-HE: XPath 3.1), as the stylesheet runs.
    struct Inputs {
        qint64 window = 0;
        std::function<QByteArray()> source;
        std::function<QString()> sourceBase;
        std::function<QList<QPair<QString, QString>>()> namespaces;
        std::function<engine::Processor()> processor;
    };
    explicit XPathBar(const Inputs &inputs, QWidget *parent = nullptr);
    ~XPathBar() override;

    // The source text changed: the next evaluation sends it again, and a shown result is
    // brought up to date a pause after the last change.
    void sourceChanged();
    // Evaluates the expression in the box now.
    void evaluate();
    // Ends the evaluation on its way, if any.
    void stop();
    // Shows the bar with its box focused.
    void activate();

    QLineEdit *expressionBox() const { return m_expression; }
    QTreeWidget *results() const { return m_results; }
    QLabel *summary() const { return m_summary; }
    QLabel *errorLabel() const { return m_error; }
    // The value of the last string, number or boolean result, as far as it came back (a value
    // of more than engine::XPathWork::maxValueChars characters comes back cut).
    QString value() const { return m_value; }
    // True while an evaluation is on its way.
    bool isEvaluating() const { return m_requestId != 0 || m_rerun; }

    // How long after the last key an expression is evaluated by itself.
    static constexpr int kPauseMs = 400;
    // How long an evaluation may take before it is stopped.
    static constexpr int kTimeLimitMs = 30000;
    // How much of a value the summary shows; Copy Value copies all of it.
    static constexpr int kShownChars = 1000;

signals:
    // A node's start tag (or line) was chosen: 1-based line, column in UTF-16 units of the line
    // (0: the line only) and its length.
    void nodeChosen(int line, int column, int length);
    // An evaluation's result is shown.
    void evaluated();
    // The user closed the bar (its button, or Esc in the box).
    void closed();

private:
    void submit(bool withSource);
    void answered(const engine::Response &response);
    void show(const xpatheval::Result &result);
    void showError(const QString &text);
    void setEvaluating(bool on);

    Inputs m_inputs;
    QLineEdit *m_expression = nullptr;
    QToolButton *m_stop = nullptr;
    QLabel *m_error = nullptr;
    QLabel *m_summary = nullptr;
    QToolButton *m_copy = nullptr;
    // Owned by whoever the window gives it to.
    QPointer<QTreeWidget> m_results;
    QTimer *m_pause = nullptr;
    // The source's version: counted up by each change. The worker holds the one last sent.
    qint64 m_sourceVersion = 1;
    qint64 m_sentVersion = 0;
    qint64 m_requestId = 0;
    // Asked for while one was on its way: runs when that one is done.
    bool m_rerun = false;
    // Set while a request is handed over: an answer that comes at once is that one's.
    QString m_value;
};
