#pragma once

#include "engine/resulttrace.h"

#include <QWidget>

#include <memory>

class QLabel;
class QTreeWidget;
class QTreeWidgetItem;

// What the last live run did, under the editor: the Trace (the templates that fired, in order,
// nested by call depth, with the source node each fired for) or the Profile (each template's
// calls, total and own time and share of the run, sortable by any column). Enter or a
// double-click goes to the template; in the Trace, a double-click on the source node column
// goes to the source node.
class RunReportPane : public QWidget
{
    Q_OBJECT
public:
    enum class Kind { Trace, Profile };
    RunReportPane(Kind kind, QWidget *parent = nullptr);

    Kind kind() const { return m_kind; }
    // The report of the last run, or null before one with it came (then the pane says so).
    void setReport(std::shared_ptr<const tracing::Report> report);
    QString title() const;
    const tracing::Report *report() const { return m_report.get(); }
    QTreeWidget *list() const { return m_list; }

signals:
    void templateActivated(int templ);
    void sourceActivated(int source);
    void closeRequested();

private:
    QString place(int file, int line) const;
    Kind m_kind;
    QLabel *m_title = nullptr;
    QTreeWidget *m_list = nullptr;
    std::shared_ptr<const tracing::Report> m_report;
};
