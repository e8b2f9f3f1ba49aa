#pragma once

#include "engine/xpatheval.h"

#include <QWidget>
#include <functional>

class QLabel;
class QLineEdit;
class QThread;
class QTimer;
class QTreeWidget;

// The XPath bar over the XML pane: an expression evaluated against the source text as it is in
// the editor, on a thread of its own, with the nodes it selects listed below it.
class XPathBar : public QWidget
{
    Q_OBJECT
public:
    // source gives the XML pane's text (UTF-8) and where it came from; namespaces the prefixes
    // the stylesheet declares.
    struct Inputs {
        std::function<QByteArray()> source;
        std::function<QString()> sourceBase;
        std::function<QList<QPair<QString, QString>>()> namespaces;
    };
    explicit XPathBar(const Inputs &inputs, QWidget *parent = nullptr);
    ~XPathBar() override;

    // The source text changed: the next evaluation reads it again, and a shown result is
    // brought up to date a pause after the last change.
    void sourceChanged();
    // Evaluates the expression in the box now.
    void evaluate();
    // Shows the bar with its box focused.
    void activate();

    QLineEdit *expressionBox() const { return m_expression; }
    QTreeWidget *results() const { return m_results; }
    QLabel *summary() const { return m_summary; }
    QLabel *errorLabel() const { return m_error; }
    // True while an evaluation is on its way.
    bool isEvaluating() const { return m_pending > 0 || m_rerun; }

    // How long after the last key an expression is evaluated by itself.
    static constexpr int kPauseMs = 400;

signals:
    // A node's start tag (or line) was chosen: 1-based line, column in UTF-16 units of the line
    // (0: the line only) and its length.
    void nodeChosen(int line, int column, int length);
    // An evaluation's result is shown.
    void evaluated();
    // The user closed the bar (its button, or Esc in the box).
    void closed();

private:
    void show(qint64 generation, const xpatheval::Result &result);

    class Worker;
    Inputs m_inputs;
    QLineEdit *m_expression = nullptr;
    QLabel *m_error = nullptr;
    QLabel *m_summary = nullptr;
    QTreeWidget *m_results = nullptr;
    QTimer *m_pause = nullptr;
    QThread *m_thread = nullptr;
    Worker *m_worker = nullptr;
    bool m_sourceDirty = true;
    qint64 m_generation = 0;
    int m_pending = 0;
    // Asked for while one was on its way: runs when that one is done.
    bool m_rerun = false;
};
