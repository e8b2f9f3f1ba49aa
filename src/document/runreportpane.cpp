#include "document/runreportpane.h"

#include "document/rowlist.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

namespace {

constexpr int kTemplateRole = Qt::UserRole;
constexpr int kSourceRole = Qt::UserRole + 1;
constexpr int kSortRole = Qt::UserRole + 2;
constexpr int kLabelWidth = 380;

// Profile rows sort by the number behind a cell, not by its text.
class NumberItem : public QTreeWidgetItem
{
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem &other) const override
    {
        const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        const QVariant a = data(column, kSortRole);
        const QVariant b = other.data(column, kSortRole);
        if (a.isValid() && b.isValid())
            return a.toDouble() < b.toDouble();
        return text(column).localeAwareCompare(other.text(column)) < 0;
    }
};

QString milliseconds(qint64 ns)
{
    return QLocale().toString(double(ns) / 1e6, 'f', 2);
}

} // namespace

RunReportPane::RunReportPane(Kind kind, QWidget *parent)
    : QWidget(parent)
    , m_kind(kind)
{
    setObjectName(kind == Kind::Trace ? QStringLiteral("paneTrace") : QStringLiteral("paneProfile"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto *head = new QHBoxLayout;
    head->setContentsMargins(6, 2, 2, 2);
    m_title = new QLabel(this);
    m_title->setObjectName(kind == Kind::Trace ? QStringLiteral("lblTraceTitle") : QStringLiteral("lblProfileTitle"));
    head->addWidget(m_title, 1);
    auto *close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(kind == Kind::Trace ? QStringLiteral("btnTraceClose") : QStringLiteral("btnProfileClose"));
    connect(close, &QPushButton::clicked, this, &RunReportPane::closeRequested);
    head->addWidget(close);
    layout->addLayout(head);

    m_list = new RowList(this);
    m_list->setObjectName(kind == Kind::Trace ? QStringLiteral("lstTrace") : QStringLiteral("lstProfile"));
    m_list->setUniformRowHeights(true);
    m_list->setAlternatingRowColors(true);
    if (kind == Kind::Trace) {
        m_list->setHeaderLabels({QStringLiteral("Template"), QStringLiteral("Where"), QStringLiteral("Source node")});
    } else {
        m_list->setHeaderLabels({QStringLiteral("Template"), QStringLiteral("Calls"), QStringLiteral("Total ms"),
                                 QStringLiteral("Own ms"), QStringLiteral("Share")});
        m_list->setRootIsDecorated(false);
        m_list->setSortingEnabled(true);
    }
    layout->addWidget(m_list, 1);
    connect(m_list, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem *item, int column) {
        const QVariant source = item->data(0, kSourceRole);
        if (m_kind == Kind::Trace && column == 2 && source.toInt() >= 0)
            emit sourceActivated(source.toInt());
        else if (item->data(0, kTemplateRole).toInt() >= 0)
            emit templateActivated(item->data(0, kTemplateRole).toInt());
    });
    auto *esc = new QShortcut(QKeySequence(Qt::Key_Escape), m_list, nullptr, nullptr, Qt::WidgetShortcut);
    connect(esc, &QShortcut::activated, this, &RunReportPane::closeRequested);
    setReport(nullptr);
}

QString RunReportPane::title() const
{
    return m_title->text();
}

QString RunReportPane::place(int file, int line) const
{
    if (!m_report || file < 0 || file >= m_report->files.size())
        return QString();
    return QStringLiteral("%1:%2").arg(QFileInfo(m_report->files[file]).fileName()).arg(line);
}

void RunReportPane::setReport(std::shared_ptr<const tracing::Report> report)
{
    m_report = std::move(report);
    m_list->clear();
    const int wanted = m_kind == Kind::Trace ? tracing::Trace : tracing::Profile;
    if (!m_report || !(m_report->flags & wanted)) {
        m_title->setText(m_kind == Kind::Trace ? QStringLiteral("The trace shows the templates of the next live preview.")
                                               : QStringLiteral("The profile shows the templates of the next live preview."));
        return;
    }
    const tracing::Report &r = *m_report;
    const QLocale locale;
    if (m_kind == Kind::Trace) {
        m_title->setText(r.eventsCut ? QStringLiteral("Templates fired: the first %1 of %2")
                                           .arg(locale.toString(r.events.size()), locale.toString(r.events.size() + r.eventsCut))
                                     : QStringLiteral("Templates fired: %1").arg(locale.toString(r.events.size())));
        // Nested by depth: each event goes under the last one shallower than it.
        std::vector<std::pair<int, QTreeWidgetItem *>> open;
        QList<QTreeWidgetItem *> top;
        QFont builtin = m_list->font();
        builtin.setItalic(true);
        for (const tracing::Event &e : r.events) {
            auto *item = new QTreeWidgetItem;
            const bool isBuiltin = e.templ < 0;
            item->setText(0, isBuiltin ? QStringLiteral("built-in rule") : r.templateLabel(e.templ));
            item->setToolTip(0, item->text(0));
            if (isBuiltin)
                item->setFont(0, builtin);
            else
                item->setText(1, place(r.templates[e.templ].file, r.templates[e.templ].line));
            if (e.source >= 0)
                item->setText(2, QStringLiteral("%1 (line %2)").arg(r.sourcePath(e.source)).arg(r.sources[e.source].line));
            item->setData(0, kTemplateRole, e.templ);
            item->setData(0, kSourceRole, e.source);
            while (!open.empty() && open.back().first >= e.depth)
                open.pop_back();
            if (open.empty())
                top << item;
            else
                open.back().second->addChild(item);
            open.push_back({e.depth, item});
        }
        m_list->addTopLevelItems(top);
        m_list->expandToDepth(2);
    } else {
        m_title->setText(QStringLiteral("Run time: %1 ms").arg(milliseconds(r.runNs)));
        QList<QTreeWidgetItem *> rows;
        for (const tracing::ProfileRow &p : r.profile) {
            auto *item = new NumberItem;
            item->setText(0, r.templateLabel(p.templ));
            item->setToolTip(0, item->text(0));
            if (p.templ < 0) {
                QFont builtin = m_list->font();
                builtin.setItalic(true);
                item->setFont(0, builtin);
            }
            item->setText(1, locale.toString(p.calls));
            item->setData(1, kSortRole, double(p.calls));
            const bool timed = p.templ >= 0;
            item->setText(2, timed ? milliseconds(p.totalNs) : QString());
            item->setData(2, kSortRole, double(p.totalNs));
            item->setText(3, timed ? milliseconds(p.ownNs) : QString());
            item->setData(3, kSortRole, double(p.ownNs));
            const double share = r.runNs > 0 && timed ? 100.0 * double(p.ownNs) / double(r.runNs) : 0;
            item->setText(4, timed ? QStringLiteral("%1 %").arg(locale.toString(share, 'f', 1)) : QString());
            item->setData(4, kSortRole, share);
            for (int c = 1; c < 5; ++c)
                item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
            item->setData(0, kTemplateRole, p.templ);
            rows << item;
        }
        m_list->addTopLevelItems(rows);
        m_list->sortByColumn(3, Qt::DescendingOrder);
    }
    // DocBook's match patterns run to hundreds of characters: the label column gives way to the
    // numbers, and the whole label is in the row's tooltip.
    for (int c = 0; c < m_list->columnCount(); ++c)
        m_list->resizeColumnToContents(c);
    m_list->setColumnWidth(0, std::min(m_list->columnWidth(0), kLabelWidth));
}
