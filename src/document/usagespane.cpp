#include "document/usagespane.h"

#include "document/rowlist.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr int kRowRole = Qt::UserRole;

} // namespace

UsagesPane::UsagesPane(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("paneUsages"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    auto *top = new QHBoxLayout;
    top->setContentsMargins(4, 2, 4, 0);
    m_title = new QLabel(this);
    m_title->setObjectName(QStringLiteral("lblUsages"));
    m_title->setTextFormat(Qt::PlainText);
    top->addWidget(m_title, 1);
    m_apply = new QPushButton(QStringLiteral("Apply"), this);
    m_apply->setObjectName(QStringLiteral("cmdApplyRename"));
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("cmdCancelRename"));
    m_close = new QPushButton(QStringLiteral("Close"), this);
    m_close->setObjectName(QStringLiteral("cmdCloseUsages"));
    top->addWidget(m_apply);
    top->addWidget(m_cancel);
    top->addWidget(m_close);
    layout->addLayout(top);
    m_list = new RowList(this);
    m_list->setObjectName(QStringLiteral("lstUsages"));
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setHeaderLabels({QStringLiteral("File"), QStringLiteral("Line"), QStringLiteral("Text")});
    m_list->header()->setStretchLastSection(true);
    m_list->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_list->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    layout->addWidget(m_list, 1);
    connect(m_list, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem *item) {
        const int i = item ? item->data(0, kRowRole).toInt() : -1;
        if (i >= 0 && i < m_rows.size())
            emit activated(m_rows[i]);
    });
    connect(m_apply, &QPushButton::clicked, this, &UsagesPane::applyRequested);
    connect(m_cancel, &QPushButton::clicked, this, &UsagesPane::cancelRequested);
    connect(m_close, &QPushButton::clicked, this, &UsagesPane::cancelRequested);
    m_list->installEventFilter(this);
    m_apply->hide();
    m_cancel->hide();
}

void UsagesPane::showRows(const QString &title, const QList<Row> &rows, bool renamePreview)
{
    m_rows = rows;
    m_renamePreview = renamePreview;
    m_title->setText(title);
    m_apply->setVisible(renamePreview);
    m_cancel->setVisible(renamePreview);
    m_close->setVisible(!renamePreview);
    m_list->clear();
    QList<QTreeWidgetItem *> items;
    for (int i = 0; i < rows.size(); ++i) {
        const Row &r = rows[i];
        auto *item = new QTreeWidgetItem;
        item->setText(0, r.file.isEmpty() ? m_unsavedName : QFileInfo(r.file).fileName());
        item->setToolTip(0, r.file);
        item->setText(1, QString::number(r.line));
        item->setText(2, r.text.trimmed());
        item->setData(0, kRowRole, i);
        items << item;
    }
    m_list->addTopLevelItems(items);
    if (!items.isEmpty())
        m_list->setCurrentItem(items.first());
}

bool UsagesPane::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_list && event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape) {
        emit cancelRequested();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

QString UsagesPane::title() const
{
    return m_title->text();
}
