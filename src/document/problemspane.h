#pragma once

#include "engine/diagnostic.h"

#include <QList>
#include <QMap>
#include <QWidget>

class QTreeWidget;
class QTreeWidgetItem;

// The problems of one document window, under its editor: one row per problem (severity,
// message, file, line), from every check that reports some. Double-click or Enter on a row asks
// to go to its place.
class ProblemsPane : public QWidget
{
    Q_OBJECT
public:
    // The checks that report problems, in the order their rows are listed.
    enum class Source { Stylesheet, XmlSource, Compilation, Checks, Transformation, Validation, Hint };

    explicit ProblemsPane(QWidget *parent = nullptr);

    // Replaces the rows of one source.
    void setProblems(Source source, const QList<Diagnostic> &problems);
    QList<Diagnostic> problems() const;
    QTreeWidget *list() const { return m_list; }

signals:
    void activated(const Diagnostic &problem);
    // The rows went from none to some (rows of the stylesheet's own warnings not counted).
    void firstProblem();

private:
    void rebuild();

    QTreeWidget *m_list = nullptr;
    QMap<Source, QList<Diagnostic>> m_problems;
};
