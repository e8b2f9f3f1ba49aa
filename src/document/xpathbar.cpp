#include "document/xpathbar.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QShortcut>
#include <QToolButton>
#include <QLabel>
#include <QLineEdit>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

// Owns the parsed source on the bar's thread; one evaluation at a time, in order.
class XPathBar::Worker : public QObject
{
    Q_OBJECT
public:
    void run(qint64 generation, const QByteArray &source, bool newSource, const QString &base,
             const QList<QPair<QString, QString>> &namespaces, const QString &expression)
    {
        xpatheval::Result result;
        QString error;
        if (newSource && !m_session.setSource(source, base, &error)) {
            result.error = error;
            emit done(generation, result);
            return;
        }
        m_session.setNamespaces(namespaces);
        result = m_session.evaluate(expression, kMaxRows);
        emit done(generation, result);
    }
    xpatheval::Session m_session;
    static constexpr int kMaxRows = 1000;

signals:
    void done(qint64 generation, const xpatheval::Result &result);
};

namespace {

QString kindName(xpatheval::Row::Kind kind)
{
    using K = xpatheval::Row::Kind;
    switch (kind) {
    case K::Element: return QStringLiteral("Element");
    case K::Attribute: return QStringLiteral("Attribute");
    case K::Text: return QStringLiteral("Text");
    case K::Comment: return QStringLiteral("Comment");
    case K::ProcessingInstruction: return QStringLiteral("Processing instruction");
    case K::Namespace: return QStringLiteral("Namespace");
    case K::Document: return QStringLiteral("Document");
    }
    return {};
}

} // namespace

XPathBar::XPathBar(const Inputs &inputs, QWidget *parent)
    : QWidget(parent)
    , m_inputs(inputs)
{
    qRegisterMetaType<xpatheval::Result>();
    setObjectName(QStringLiteral("xpathBar"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 2);
    layout->setSpacing(2);
    m_expression = new QLineEdit(this);
    m_expression->setObjectName(QStringLiteral("txtXPath"));
    m_expression->setPlaceholderText(QStringLiteral("XPath expression, evaluated against the XML source"));
    m_expression->setClearButtonEnabled(true);
    auto *row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(m_expression, 1);
    auto *close = new QToolButton(this);
    close->setObjectName(QStringLiteral("cmdCloseXPath"));
    close->setAutoRaise(true);
    close->setText(QStringLiteral("✕"));
    close->setToolTip(QStringLiteral("Close the XPath bar (Esc)"));
    row->addWidget(close);
    layout->addLayout(row);
    const auto hideBar = [this] {
        hide();
        emit closed();
    };
    connect(close, &QToolButton::clicked, this, hideBar);
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), m_expression, nullptr, nullptr, Qt::WidgetShortcut),
            &QShortcut::activated, this, hideBar);
    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("lblXPathError"));
    m_error->setTextFormat(Qt::PlainText);
    m_error->setStyleSheet(QStringLiteral("color: #b00020;"));
    m_error->hide();
    layout->addWidget(m_error);
    m_summary = new QLabel(this);
    m_summary->setObjectName(QStringLiteral("lblXPathResult"));
    m_summary->setTextFormat(Qt::PlainText);
    m_summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_summary->hide();
    layout->addWidget(m_summary);
    for (QLabel *label : {m_error, m_summary})
        label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    m_results = new QTreeWidget(this);
    m_results->setObjectName(QStringLiteral("lstXPathResults"));
    m_results->setRootIsDecorated(false);
    m_results->setUniformRowHeights(true);
    m_results->setHeaderLabels({QStringLiteral("Kind"), QStringLiteral("Line"), QStringLiteral("Node")});
    m_results->header()->setStretchLastSection(true);
    m_results->setColumnWidth(0, 110);
    m_results->setColumnWidth(1, 60);
    m_results->setMaximumHeight(180);
    m_results->hide();
    layout->addWidget(m_results);

    m_pause = new QTimer(this);
    m_pause->setSingleShot(true);
    m_pause->setInterval(kPauseMs);
    connect(m_pause, &QTimer::timeout, this, &XPathBar::evaluate);
    connect(m_expression, &QLineEdit::textEdited, m_pause, qOverload<>(&QTimer::start));
    connect(m_expression, &QLineEdit::returnPressed, this, &XPathBar::evaluate);
    const auto choose = [this](QTreeWidgetItem *item) {
        if (item && item->data(1, Qt::UserRole).toInt() > 0)
            emit nodeChosen(item->data(1, Qt::UserRole).toInt(), item->data(2, Qt::UserRole).toInt(),
                            item->data(2, Qt::UserRole + 1).toInt());
    };
    connect(m_results, &QTreeWidget::currentItemChanged, this, choose);
    connect(m_results, &QTreeWidget::itemActivated, this, choose);

    m_thread = new QThread(this);
    m_thread->setObjectName(QStringLiteral("XPath"));
    m_worker = new Worker;
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &Worker::done, this, &XPathBar::show);
    m_thread->start();
}

XPathBar::~XPathBar()
{
    // An evaluation cannot be interrupted inside libxml2; the thread ends after it.
    m_worker->m_session.cancel();
    m_thread->quit();
    m_thread->wait();
}

void XPathBar::sourceChanged()
{
    m_sourceDirty = true;
    if (!isHidden() && !m_expression->text().trimmed().isEmpty())
        m_pause->start();
}

void XPathBar::activate()
{
    QWidget::show();
    m_expression->setFocus();
    m_expression->selectAll();
}

void XPathBar::evaluate()
{
    m_pause->stop();
    // One at a time: a large source takes a while to parse, and only the latest answer counts.
    if (m_pending > 0) {
        m_rerun = true;
        return;
    }
    const QString expression = m_expression->text().trimmed();
    if (expression.isEmpty()) {
        m_error->hide();
        m_summary->hide();
        m_results->hide();
        return;
    }
    const bool newSource = m_sourceDirty;
    const QByteArray source = newSource ? m_inputs.source() : QByteArray();
    m_sourceDirty = false;
    ++m_pending;
    m_summary->setText(QStringLiteral("Evaluating…"));
    m_summary->show();
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, generation = ++m_generation, source, newSource,
                                         base = m_inputs.sourceBase(), ns = m_inputs.namespaces(), expression] {
        worker->run(generation, source, newSource, base, ns, expression);
    });
}

void XPathBar::show(qint64 generation, const xpatheval::Result &result)
{
    --m_pending;
    if (m_rerun) {
        m_rerun = false;
        evaluate();
        return;
    }
    if (generation != m_generation)
        return;
    m_results->clear();
    if (!result.ok) {
        m_error->setText(result.errorColumn > 0 ? QStringLiteral("Column %1: %2").arg(result.errorColumn).arg(result.error)
                                                : result.error);
        m_error->show();
        m_summary->hide();
        m_results->hide();
        emit evaluated();
        return;
    }
    m_error->hide();
    using T = xpatheval::Result::Type;
    if (result.type != T::NodeSet) {
        const QString type = result.type == T::Number ? QStringLiteral("Number")
                             : result.type == T::String ? QStringLiteral("String")
                                                        : QStringLiteral("Boolean");
        m_summary->setText(type + QStringLiteral(": ") + result.value);
        m_results->hide();
        emit evaluated();
        return;
    }
    m_summary->setText(result.total == 1 ? QStringLiteral("1 node")
                       : result.total > result.nodes.size()
                           ? QStringLiteral("%1 nodes (the first %2 listed)").arg(result.total).arg(result.nodes.size())
                           : QStringLiteral("%1 nodes").arg(result.total));
    QList<QTreeWidgetItem *> items;
    items.reserve(result.nodes.size());
    for (const xpatheval::Row &row : result.nodes) {
        auto *item = new QTreeWidgetItem({kindName(row.kind), row.line > 0 ? QString::number(row.line) : QString(), row.text});
        item->setData(1, Qt::UserRole, row.line);
        item->setData(2, Qt::UserRole, row.column);
        item->setData(2, Qt::UserRole + 1, row.length);
        item->setToolTip(2, row.text);
        items << item;
    }
    m_results->addTopLevelItems(items);
    m_results->setVisible(!items.isEmpty());
    emit evaluated();
}

#include "xpathbar.moc"
