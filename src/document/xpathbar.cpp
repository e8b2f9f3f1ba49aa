#include "document/xpathbar.h"

#include "engine/engineclient.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr engine::Channel kChannel = engine::Channel::XPath;

QString kindName(const xpatheval::Row &row)
{
    using K = xpatheval::Row::Kind;
    switch (row.kind) {
    case K::Item: return row.type;
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
    m_stop = new QToolButton(this);
    m_stop->setObjectName(QStringLiteral("cmdStopXPath"));
    m_stop->setText(QStringLiteral("Stop"));
    m_stop->setToolTip(QStringLiteral("Stop the evaluation (Esc)"));
    m_stop->hide();
    row->addWidget(m_stop);
    auto *close = new QToolButton(this);
    close->setObjectName(QStringLiteral("cmdCloseXPath"));
    close->setAutoRaise(true);
    close->setText(QStringLiteral("✕"));
    close->setToolTip(QStringLiteral("Close the XPath bar (Esc)"));
    row->addWidget(close);
    layout->addLayout(row);
    const auto hideBar = [this] {
        hide();
        m_results->hide();
        emit closed();
    };
    connect(close, &QToolButton::clicked, this, hideBar);
    connect(m_stop, &QToolButton::clicked, this, &XPathBar::stop);
    // Esc ends an evaluation on its way; with none, it closes the bar.
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), m_expression, nullptr, nullptr, Qt::WidgetShortcut),
            &QShortcut::activated, this, [this, hideBar] {
                if (isEvaluating())
                    stop();
                else
                    hideBar();
            });
    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("lblXPathError"));
    m_error->setTextFormat(Qt::PlainText);
    m_error->setStyleSheet(QStringLiteral("color: #b00020;"));
    m_error->setWordWrap(true);
    m_error->hide();
    layout->addWidget(m_error);
    auto *summaryRow = new QHBoxLayout;
    summaryRow->setContentsMargins(0, 0, 0, 0);
    m_summary = new QLabel(this);
    m_summary->setObjectName(QStringLiteral("lblXPathResult"));
    m_summary->setTextFormat(Qt::PlainText);
    m_summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A long value is cut at the window's edge instead of widening the window.
    m_summary->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    m_summary->hide();
    summaryRow->addWidget(m_summary, 1);
    m_copy = new QToolButton(this);
    m_copy->setObjectName(QStringLiteral("cmdCopyXPathValue"));
    m_copy->setText(QStringLiteral("Copy Value"));
    m_copy->hide();
    summaryRow->addWidget(m_copy);
    layout->addLayout(summaryRow);
    connect(m_copy, &QToolButton::clicked, this, [this] { QGuiApplication::clipboard()->setText(m_value); });
    m_error->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);

    // The list goes where the window puts it: between the bar and the pane, in a split the
    // user can move.
    m_results = new QTreeWidget;
    m_results->setObjectName(QStringLiteral("lstXPathResults"));
    m_results->setRootIsDecorated(false);
    m_results->setUniformRowHeights(true);
    m_results->setHeaderLabels({QStringLiteral("Kind"), QStringLiteral("Line"), QStringLiteral("Node")});
    m_results->header()->setStretchLastSection(true);
    m_results->setColumnWidth(0, 110);
    m_results->setColumnWidth(1, 60);
    m_results->hide();

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
}

XPathBar::~XPathBar()
{
    // Never waits: the evaluation's worker is ended, whatever it is doing.
    EngineClient::shared().cancel(m_inputs.window, kChannel);
    if (m_results && !m_results->parent())
        delete m_results.data();
}

void XPathBar::sourceChanged()
{
    ++m_sourceVersion;
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
    if (m_requestId != 0) {
        m_rerun = true;
        return;
    }
    if (m_expression->text().trimmed().isEmpty()) {
        m_error->hide();
        m_summary->hide();
        m_copy->hide();
        m_results->hide();
        return;
    }
    submit(m_sentVersion != m_sourceVersion);
}

void XPathBar::submit(bool withSource)
{
    engine::Request request;
    request.kind = engine::Kind::XPath;
    request.window = m_inputs.window;
    request.processor = m_inputs.processor ? m_inputs.processor() : engine::Processor::Libxslt;
    request.xpath.expression = m_expression->text().trimmed();
    request.xpath.sourceKey = m_sourceVersion;
    request.xpath.sourceBase = m_inputs.sourceBase();
    request.xpath.namespaces = m_inputs.namespaces();
    if (withSource) {
        request.xpath.hasSource = true;
        request.xpath.source = m_inputs.source();
        m_sentVersion = m_sourceVersion;
    }
    m_requestId = -1;
    const qint64 id = EngineClient::shared().submit(std::move(request), kChannel, this,
                                                    [this](const engine::Response &r) { answered(r); }, kTimeLimitMs);
    // An answer may have come at once (no worker could be started).
    if (m_requestId == -1) {
        m_requestId = id;
        setEvaluating(true);
    }
}

void XPathBar::stop()
{
    m_pause->stop();
    m_rerun = false;
    EngineClient::shared().stop(m_inputs.window, kChannel);
}

void XPathBar::setEvaluating(bool on)
{
    m_stop->setVisible(on);
    if (on) {
        m_summary->setText(QStringLiteral("Evaluating…"));
        m_summary->show();
        m_copy->hide();
    }
}

void XPathBar::answered(const engine::Response &response)
{
    // Of the requests handed over, only the latest is waited for. While it is being handed
    // over (-1) its id is not known yet: an older one dropped meanwhile is answered superseded.
    if (m_requestId == -1 ? response.superseded() : response.id != m_requestId)
        return;
    m_requestId = 0;
    setEvaluating(false);
    if (response.superseded())
        return;
    if (response.error != engine::ErrorKind::None)
        m_sentVersion = 0; // the worker, and the source it held, are gone
    if (response.needSource) {
        submit(true);
        return;
    }
    if (m_rerun) {
        m_rerun = false;
        evaluate();
        return;
    }
    if (response.error == engine::ErrorKind::Stopped) {
        m_error->hide();
        m_results->hide();
        m_summary->setText(response.errorText);
        m_summary->show();
        emit evaluated();
        return;
    }
    if (response.error != engine::ErrorKind::None) {
        showError(response.errorText.trimmed());
        emit evaluated();
        return;
    }
    show(response.xpath);
}

void XPathBar::showError(const QString &text)
{
    m_error->setText(text);
    m_error->show();
    m_summary->hide();
    m_copy->hide();
    m_results->hide();
}

void XPathBar::show(const xpatheval::Result &result)
{
    m_results->clear();
    m_value.clear();
    if (!result.ok) {
        showError(result.errorColumn > 0 ? QStringLiteral("Column %1: %2").arg(result.errorColumn).arg(result.error)
                                         : result.error);
        emit evaluated();
        return;
    }
    m_error->hide();
    using T = xpatheval::Result::Type;
    if (result.type != T::NodeSet && result.type != T::Sequence) {
        // XPath 2.0 and later name the value's own type.
        const QString type = !result.valueType.isEmpty() ? result.valueType
                             : result.type == T::Number  ? QStringLiteral("Number")
                             : result.type == T::String  ? QStringLiteral("String")
                                                         : QStringLiteral("Boolean");
        m_value = result.value;
        const qsizetype length = std::max<qsizetype>(result.valueLength, result.value.size());
        if (length <= kShownChars) {
            m_summary->setText(type + QStringLiteral(": ") + result.value);
        } else {
            // Its length first, where the line is never cut; then as much as is worth showing.
            QString shown = result.value.left(kShownChars);
            shown.replace(QLatin1Char('\n'), QLatin1Char(' '));
            m_summary->setText(QStringLiteral("%1 (%2 characters): %3…").arg(type, QLocale().toString(length), shown));
        }
        m_summary->setToolTip(result.value.left(kShownChars * 4));
        m_copy->setToolTip(length > result.value.size()
                               ? QStringLiteral("Copy the first %1 of the %2 characters")
                                     .arg(QLocale().toString(result.value.size()), QLocale().toString(length))
                               : QStringLiteral("Copy the whole value"));
        m_copy->show();
        m_results->hide();
        emit evaluated();
        return;
    }
    m_copy->hide();
    m_summary->setToolTip(QString());
    // A sequence of XPath 2.0 and later may hold values besides nodes.
    const bool values = result.type == T::Sequence;
    m_summary->setText(result.total == 1 ? (values ? QStringLiteral("1 item") : QStringLiteral("1 node"))
                       : result.total > result.nodes.size()
                           ? (values ? QStringLiteral("%1 items (the first %2 listed)") : QStringLiteral("%1 nodes (the first %2 listed)"))
                                 .arg(result.total)
                                 .arg(result.nodes.size())
                           : (values ? QStringLiteral("%1 items") : QStringLiteral("%1 nodes")).arg(result.total));
    QList<QTreeWidgetItem *> items;
    items.reserve(result.nodes.size());
    for (const xpatheval::Row &row : result.nodes) {
        auto *item = new QTreeWidgetItem({kindName(row), row.line > 0 ? QString::number(row.line) : QString(), row.text});
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
