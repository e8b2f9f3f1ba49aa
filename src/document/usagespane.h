#pragma once

#include <QList>
#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;
class QTreeWidget;

// A list of places in the stylesheet and the files it includes, under the editor: the usages
// of a declaration, the templates of a mode, or the changes a rename would make (then with
// Apply and Cancel instead of Close). Each row shows the file, the line and the line's text;
// Enter or a double-click asks to go there, Esc asks to close the list.
class UsagesPane : public QWidget
{
    Q_OBJECT
public:
    struct Row {
        QString file; // absolute path, or empty for an unsaved stylesheet
        int line = 0; // 1-based
        int column = 0; // 1-based, UTF-16 units of the line
        int length = 0;
        QString text; // the line as it is (for a rename: as it would become)
    };

    explicit UsagesPane(QWidget *parent = nullptr);

    // Lists rows under a title; a rename preview shows Apply and Cancel as well.
    void showRows(const QString &title, const QList<Row> &rows, bool renamePreview = false);
    bool isRenamePreview() const { return m_renamePreview; }
    QList<Row> rows() const { return m_rows; }
    QString title() const;
    QTreeWidget *list() const { return m_list; }
    // The name shown for a file: its name, or the unsaved stylesheet's caption.
    void setUnsavedName(const QString &name) { m_unsavedName = name; }

signals:
    void activated(const UsagesPane::Row &row);
    void applyRequested();
    // Cancel of a rename, Close, or Esc in the list.
    void cancelRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLabel *m_title = nullptr;
    QTreeWidget *m_list = nullptr;
    QPushButton *m_apply = nullptr;
    QPushButton *m_cancel = nullptr;
    QPushButton *m_close = nullptr;
    QList<Row> m_rows;
    bool m_renamePreview = false;
    QString m_unsavedName;
};
