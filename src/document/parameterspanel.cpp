#include "document/parameterspanel.h"

#include <QEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QVBoxLayout>

ParametersPanel::ParametersPanel(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("parametersPanel"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    // Large stylesheets (DocBook's has hundreds of parameters) are searched, not scrolled.
    m_filter = new QLineEdit(this);
    m_filter->setObjectName(QStringLiteral("txtParameterFilter"));
    m_filter->setPlaceholderText(QStringLiteral("Filter parameters by name"));
    m_filter->setClearButtonEnabled(true);
    m_filter->installEventFilter(this);
    layout->addWidget(m_filter);
    connect(m_filter, &QLineEdit::textChanged, this, &ParametersPanel::applyFilter);
    m_table = new QTableWidget(0, 4, this);
    m_table->setObjectName(QStringLiteral("lstParameters"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("Parameter"), QStringLiteral("Default"), QStringLiteral("Value"),
                                        QStringLiteral("XPath")});
    m_table->horizontalHeaderItem(ValueColumn)->setToolTip(QStringLiteral("Passed to every preview of this window; empty: the default"));
    m_table->horizontalHeaderItem(XPathColumn)->setToolTip(QStringLiteral("Checked: the value is an XPath expression evaluated against the source; otherwise a string"));
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 6);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::AllEditTriggers);
    m_table->horizontalHeader()->setSectionResizeMode(NameColumn, QHeaderView::Interactive);
    m_table->horizontalHeader()->setSectionResizeMode(DefaultColumn, QHeaderView::Interactive);
    m_table->horizontalHeader()->setSectionResizeMode(ValueColumn, QHeaderView::Stretch);
    m_table->horizontalHeader()->setSectionResizeMode(XPathColumn, QHeaderView::ResizeToContents);
    m_table->setColumnWidth(NameColumn, 200);
    m_table->setColumnWidth(DefaultColumn, 200);
    layout->addWidget(m_table);
    m_empty = new QLabel(QStringLiteral("The stylesheet declares no parameters."), this);
    m_empty->setObjectName(QStringLiteral("lblNoParameters"));
    m_empty->setContentsMargins(6, 4, 6, 4);
    layout->addWidget(m_empty);
    m_noMatch = new QLabel(QStringLiteral("No parameter's name holds this text."), this);
    m_noMatch->setObjectName(QStringLiteral("lblNoParameterMatch"));
    m_noMatch->setContentsMargins(6, 4, 6, 4);
    layout->addWidget(m_noMatch);
    connect(m_table, &QTableWidget::itemChanged, this, [this](QTableWidgetItem *item) {
        if (m_filling || (item->column() != ValueColumn && item->column() != XPathColumn))
            return;
        const QList<params::Value> before = m_values;
        takeValues();
        if (m_values != before)
            emit valuesChanged();
    });
    rebuild();
}

void ParametersPanel::setDeclared(const QList<params::Declared> &declared)
{
    if (declared == m_declared)
        return;
    m_declared = declared;
    rebuild();
}

void ParametersPanel::setValues(const QList<params::Value> &values)
{
    m_values = values;
    rebuild();
}

QList<params::Value> ParametersPanel::values() const
{
    return m_values;
}

void ParametersPanel::takeValues()
{
    QList<params::Value> values;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QString value = m_table->item(row, ValueColumn)->text();
        const bool xpath = m_table->item(row, XPathColumn)->checkState() == Qt::Checked;
        if (!value.isEmpty() || xpath)
            values.append({m_table->item(row, NameColumn)->text(), value, xpath});
    }
    m_values = values;
}

void ParametersPanel::rebuild()
{
    m_filling = true;
    QList<params::Declared> rows = m_declared;
    for (const params::Value &v : std::as_const(m_values))
        if (std::none_of(rows.cbegin(), rows.cend(), [&](const params::Declared &d) { return d.name == v.name; }))
            rows.append({v.name, QStringLiteral("(not declared)"), QString()});
    m_table->setRowCount(int(rows.size()));
    for (int row = 0; row < rows.size(); ++row) {
        const params::Declared &d = rows[row];
        const auto value = std::find_if(m_values.cbegin(), m_values.cend(), [&](const params::Value &v) { return v.name == d.name; });
        auto *name = new QTableWidgetItem(d.name);
        name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        name->setToolTip(d.file);
        auto *def = new QTableWidgetItem(d.defaultText);
        def->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        def->setToolTip(d.defaultText);
        auto *val = new QTableWidgetItem(value != m_values.cend() ? value->value : QString());
        auto *xpath = new QTableWidgetItem;
        xpath->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        xpath->setCheckState(value != m_values.cend() && value->xpath ? Qt::Checked : Qt::Unchecked);
        m_table->setItem(row, NameColumn, name);
        m_table->setItem(row, DefaultColumn, def);
        m_table->setItem(row, ValueColumn, val);
        m_table->setItem(row, XPathColumn, xpath);
    }
    m_empty->setVisible(rows.isEmpty());
    m_filter->setVisible(!rows.isEmpty());
    m_filling = false;
    applyFilter();
}

void ParametersPanel::applyFilter()
{
    const QString text = m_filter->text().trimmed();
    int shown = 0;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const bool match = m_table->item(row, NameColumn)->text().contains(text, Qt::CaseInsensitive);
        m_table->setRowHidden(row, !match);
        shown += match;
    }
    m_noMatch->setVisible(m_table->rowCount() > 0 && shown == 0);
}

bool ParametersPanel::eventFilter(QObject *watched, QEvent *event)
{
    // Down or Enter in the filter goes on to the value of the first row left.
    if (watched == m_filter && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Down || key == Qt::Key_Return || key == Qt::Key_Enter) {
            for (int row = 0; row < m_table->rowCount(); ++row)
                if (!m_table->isRowHidden(row)) {
                    m_table->setFocus();
                    m_table->setCurrentCell(row, ValueColumn);
                    return true;
                }
        }
    }
    return QWidget::eventFilter(watched, event);
}
