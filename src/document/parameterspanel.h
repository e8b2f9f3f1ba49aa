#pragma once

#include "engine/stylesheetparams.h"

#include <QWidget>

class QLabel;
class QLineEdit;
class QTableWidget;

// The stylesheet's top-level parameters under the editor: name, default, and a value the user
// gives it, as a string or as an XPath expression, for every preview of the window.
class ParametersPanel : public QWidget
{
    Q_OBJECT
public:
    explicit ParametersPanel(QWidget *parent = nullptr);

    // The parameters the stylesheet declares now. Values given to names it no longer declares
    // are kept, listed after the declared ones.
    void setDeclared(const QList<params::Declared> &declared);
    // Puts back stored values, without valuesChanged.
    void setValues(const QList<params::Value> &values);
    // The values given: rows with a value, or marked as XPath.
    QList<params::Value> values() const;
    QTableWidget *table() const { return m_table; }
    QLineEdit *filter() const { return m_filter; }

    enum Column { NameColumn, DefaultColumn, ValueColumn, XPathColumn };

signals:
    void valuesChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void rebuild();
    // Shows the rows whose name holds the filter's text, in any case.
    void applyFilter();
    // The values as the table shows them now.
    void takeValues();

    QLineEdit *m_filter = nullptr;
    QTableWidget *m_table = nullptr;
    QLabel *m_empty = nullptr;
    QLabel *m_noMatch = nullptr;
    QList<params::Declared> m_declared;
    QList<params::Value> m_values;
    bool m_filling = false;
};
