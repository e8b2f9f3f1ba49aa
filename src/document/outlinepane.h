#pragma once

#include "engine/stylesheetmodel.h"

#include <QWidget>

class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;

// The outline of a stylesheet beside its editor: its templates (by match or name, with their
// mode), functions, global variables and parameters, keys, attribute sets and the other
// top-level declarations, and each include and import with the declarations of its own file.
// The filter field narrows the tree as it is typed; Enter or a click on a row asks to go to
// its declaration.
class OutlinePane : public QWidget
{
    Q_OBJECT
public:
    explicit OutlinePane(QWidget *parent = nullptr);

    // Shows the model's tree, from the main file down; the filter stays as typed.
    void setModel(const stylesheet::Model &model, const QString &mainFile);
    // Selects the row of the declaration (an index into the model's), or none with -1.
    void selectDeclaration(int declaration);
    int selectedDeclaration() const;
    void focusFilter();

    QLineEdit *filter() const { return m_filter; }
    QTreeWidget *tree() const { return m_tree; }

    // The text a declaration's row shows.
    static QString labelOf(const stylesheet::Declaration &d);

signals:
    void declarationActivated(int declaration);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void applyFilter();

    QLineEdit *m_filter = nullptr;
    QTreeWidget *m_tree = nullptr;
    bool m_selecting = false;
};
