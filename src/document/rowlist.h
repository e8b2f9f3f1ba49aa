#pragma once

#include <QKeyEvent>
#include <QTreeWidget>

// A list of rows under or beside the editor where Enter on a row means the same as a
// double-click: QTreeWidget reports both as itemActivated.
class RowList : public QTreeWidget
{
public:
    using QTreeWidget::QTreeWidget;

protected:
    void keyPressEvent(QKeyEvent *e) override
    {
        if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && currentItem()) {
            emit itemActivated(currentItem(), 0);
            return;
        }
        QTreeWidget::keyPressEvent(e);
    }
};
