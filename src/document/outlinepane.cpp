#include "document/outlinepane.h"

#include "document/stylesheetinsight.h"

#include "document/rowlist.h"

#include <QFileInfo>
#include <QHash>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSet>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr int kDeclarationRole = Qt::UserRole;

using DKind = stylesheet::Declaration::Kind;

} // namespace

OutlinePane::OutlinePane(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("paneOutline"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    m_filter = new QLineEdit(this);
    m_filter->setObjectName(QStringLiteral("txtOutlineFilter"));
    m_filter->setPlaceholderText(QStringLiteral("Filter"));
    m_filter->setClearButtonEnabled(true);
    layout->addWidget(m_filter);
    m_tree = new RowList(this);
    m_tree->setObjectName(QStringLiteral("lstOutline"));
    m_tree->setHeaderHidden(true);
    m_tree->setUniformRowHeights(true);
    m_tree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_tree->header()->setStretchLastSection(false);
    layout->addWidget(m_tree, 1);

    connect(m_filter, &QLineEdit::textChanged, this, &OutlinePane::applyFilter);
    m_filter->installEventFilter(this);
    connect(m_filter, &QLineEdit::returnPressed, this, [this] {
        // Enter in the filter goes to the first row it leaves.
        for (QTreeWidgetItemIterator it(m_tree); *it; ++it)
            if (!(*it)->isHidden() && (*it)->data(0, kDeclarationRole).toInt() >= 0) {
                emit declarationActivated((*it)->data(0, kDeclarationRole).toInt());
                return;
            }
    });
    const auto activate = [this](QTreeWidgetItem *item) {
        if (!item || m_selecting)
            return;
        const int d = item->data(0, kDeclarationRole).toInt();
        if (d >= 0)
            emit declarationActivated(d);
    };
    connect(m_tree, &QTreeWidget::itemActivated, this, activate);
    connect(m_tree, &QTreeWidget::itemClicked, this, activate);
}

QString OutlinePane::labelOf(const stylesheet::Declaration &d)
{
    const auto quoted = [](const char *attribute, const QString &value) {
        return QStringLiteral(" %1=\"%2\"").arg(QLatin1String(attribute), value.simplified());
    };
    switch (d.kind) {
    case DKind::Template: {
        QString label = QStringLiteral("template");
        if (!d.name.isEmpty())
            label += quoted("name", d.name);
        if (!d.match.isEmpty())
            label += quoted("match", d.match);
        if (!d.mode.isEmpty())
            label += quoted("mode", d.mode);
        return label;
    }
    case DKind::Variable: return QStringLiteral("variable $") + d.name;
    case DKind::Param: return QStringLiteral("param $") + d.name;
    case DKind::Key: return QStringLiteral("key ") + d.name;
    case DKind::AttributeSet: return QStringLiteral("attribute-set ") + d.name;
    case DKind::DecimalFormat: return (QStringLiteral("decimal-format ") + d.name).trimmed();
    case DKind::NamespaceAlias: return QStringLiteral("namespace-alias ") + d.name;
    case DKind::Include: return QStringLiteral("include ") + d.name;
    case DKind::Import: return QStringLiteral("import ") + d.name;
    case DKind::Function: return QStringLiteral("function ") + d.name;
    case DKind::CharacterMap: return QStringLiteral("character-map ") + d.name;
    case DKind::Accumulator: return QStringLiteral("accumulator ") + d.name;
    case DKind::Mode: return (QStringLiteral("mode ") + d.name).trimmed();
    }
    return d.name;
}

void OutlinePane::setModel(const stylesheet::Model &model, const QString &mainFile)
{
    const int selected = selectedDeclaration();
    m_selecting = true;
    m_tree->clear();
    // The top-level declarations of each file, in the order of its text.
    QHash<QString, QList<int>> byFile;
    for (int i = 0; i < model.declarations.size(); ++i)
        if (model.declarations[i].global && !model.declarations[i].implied)
            byFile[model.declarations[i].place.file] << i;
    QSet<QString> shown;
    std::function<void(const QString &, QTreeWidgetItem *)> addFile = [&](const QString &file, QTreeWidgetItem *parent) {
        shown.insert(file);
        for (int i : byFile.value(file)) {
            const stylesheet::Declaration &d = model.declarations[i];
            auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(m_tree);
            item->setText(0, labelOf(d));
            item->setData(0, kDeclarationRole, i);
            item->setToolTip(0, QStringLiteral("%1:%2").arg(QFileInfo(d.place.file).fileName()).arg(d.place.line));
            if (d.kind == DKind::Include || d.kind == DKind::Import) {
                const QString module = StylesheetInsight::moduleOf(d);
                if (!module.isEmpty() && byFile.contains(module) && !shown.contains(module))
                    addFile(module, item);
            }
        }
    };
    addFile(mainFile, nullptr);
    m_selecting = false;
    applyFilter();
    selectDeclaration(selected);
}

void OutlinePane::applyFilter()
{
    const QString filter = m_filter->text().trimmed();
    // A row stays when it or a row under it matches.
    std::function<bool(QTreeWidgetItem *)> visit = [&](QTreeWidgetItem *item) {
        bool any = filter.isEmpty() || item->text(0).contains(filter, Qt::CaseInsensitive);
        for (int i = 0; i < item->childCount(); ++i)
            any = visit(item->child(i)) || any;
        item->setHidden(!any);
        if (!filter.isEmpty())
            item->setExpanded(any && item->childCount() > 0);
        return any;
    };
    for (int i = 0; i < m_tree->topLevelItemCount(); ++i)
        visit(m_tree->topLevelItem(i));
}

void OutlinePane::selectDeclaration(int declaration)
{
    if (declaration == selectedDeclaration())
        return;
    m_selecting = true;
    QTreeWidgetItem *found = nullptr;
    for (QTreeWidgetItemIterator it(m_tree); *it && declaration >= 0; ++it)
        if ((*it)->data(0, kDeclarationRole).toInt() == declaration) {
            found = *it;
            break;
        }
    m_tree->setCurrentItem(found);
    if (!found)
        m_tree->clearSelection();
    else
        m_tree->scrollToItem(found);
    m_selecting = false;
}

int OutlinePane::selectedDeclaration() const
{
    const QTreeWidgetItem *item = m_tree->currentItem();
    return item && item->isSelected() ? item->data(0, kDeclarationRole).toInt() : -1;
}

void OutlinePane::focusFilter()
{
    m_filter->setFocus();
    m_filter->selectAll();
}

bool OutlinePane::eventFilter(QObject *watched, QEvent *event)
{
    // Down in the filter moves into the tree, to the first row left.
    if (watched == m_filter && event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Down) {
        for (QTreeWidgetItemIterator it(m_tree); *it; ++it)
            if (!(*it)->isHidden()) {
                m_selecting = true;
                m_tree->setCurrentItem(*it);
                m_selecting = false;
                m_tree->setFocus();
                return true;
            }
    }
    return QWidget::eventFilter(watched, event);
}
