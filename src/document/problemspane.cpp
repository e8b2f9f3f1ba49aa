#include "document/problemspane.h"

#include "document/rowlist.h"

#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QStyle>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace {

constexpr int kProblemRole = Qt::UserRole;

QString shownFile(const QString &file)
{
    if (file.isEmpty())
        return QString();
    const QUrl url(file);
    const QString path = url.isLocalFile() ? url.toLocalFile() : file;
    const QString name = QFileInfo(path).fileName();
    return name.isEmpty() ? path : name;
}

} // namespace

ProblemsPane::ProblemsPane(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("paneProblems"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_list = new RowList(this);
    m_list->setObjectName(QStringLiteral("lstProblems"));
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setHeaderLabels({QStringLiteral("Message"), QStringLiteral("File"), QStringLiteral("Line")});
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_list->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    m_list->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    layout->addWidget(m_list);
    // A double-click or Enter on a row: QTreeWidget reports both as an activation.
    connect(m_list, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem *item) {
        emit activated(item->data(0, kProblemRole).value<Diagnostic>());
    });
}

void ProblemsPane::setProblems(Source source, const QList<Diagnostic> &problems)
{
    // The stylesheet's own warnings (a name never used) are marked, but do not call for the
    // list by themselves.
    const auto calling = [this] {
        for (auto it = m_problems.cbegin(); it != m_problems.cend(); ++it)
            for (const Diagnostic &d : *it)
                if (it.key() != Source::Checks || d.severity == Diagnostic::Severity::Error)
                    return true;
        return false;
    };
    const bool hadNone = !calling();
    if (problems.isEmpty())
        m_problems.remove(source);
    else
        m_problems.insert(source, problems);
    rebuild();
    if (hadNone && calling())
        emit firstProblem();
}

QList<Diagnostic> ProblemsPane::problems() const
{
    QList<Diagnostic> all;
    for (const QList<Diagnostic> &list : m_problems)
        all << list;
    return all;
}

void ProblemsPane::rebuild()
{
    m_list->clear();
    for (const Diagnostic &d : problems()) {
        auto *item = new QTreeWidgetItem(m_list);
        QStyle::StandardPixmap icon = QStyle::SP_MessageBoxCritical;
        QString severity = QStringLiteral("Error");
        if (d.severity == Diagnostic::Severity::Warning) {
            icon = QStyle::SP_MessageBoxWarning;
            severity = QStringLiteral("Warning");
        } else if (d.severity == Diagnostic::Severity::Information) {
            icon = QStyle::SP_MessageBoxInformation;
            severity = QStringLiteral("Message");
        }
        item->setIcon(0, style()->standardIcon(icon));
        item->setText(0, d.message);
        item->setToolTip(0, severity + QStringLiteral(": ") + d.message);
        item->setText(1, shownFile(d.file));
        item->setToolTip(1, d.file);
        item->setText(2, d.line > 0 ? QString::number(d.line) : QString());
        item->setData(0, kProblemRole, QVariant::fromValue(d));
    }
}
