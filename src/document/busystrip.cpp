#include "document/busystrip.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

BusyStrip::BusyStrip(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("busyStrip"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 2, 6, 2);
    m_label = new QLabel(this);
    m_label->setObjectName(QStringLiteral("lblBusy"));
    m_stop = new QPushButton(QStringLiteral("Stop"), this);
    m_stop->setObjectName(QStringLiteral("cmdStop"));
    m_stop->setToolTip(QStringLiteral("Stop the transformation (Esc)"));
    // The window may show the busy pointer; the way out keeps the ordinary one.
    m_stop->setCursor(Qt::ArrowCursor);
    layout->addWidget(m_label, 1);
    layout->addWidget(m_stop);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::ToolTipBase);
    hide();
    m_timer.setInterval(100);
    connect(&m_timer, &QTimer::timeout, this, &BusyStrip::tick);
    connect(m_stop, &QPushButton::clicked, this, &BusyStrip::stopRequested);
}

void BusyStrip::begin(const QString &what, bool stoppable)
{
    m_what = what;
    m_stop->setVisible(stoppable);
    m_clock.start();
    m_timer.start();
    tick();
    emit runningChanged(true);
}

void BusyStrip::end()
{
    const bool was = m_clock.isValid();
    m_timer.stop();
    m_clock.invalidate();
    hide();
    if (was)
        emit runningChanged(false);
}

QString BusyStrip::text() const
{
    return m_label->text();
}

void BusyStrip::tick()
{
    if (!m_clock.isValid())
        return;
    const qint64 ms = m_clock.elapsed();
    m_label->setText(QStringLiteral("%1\u2026 %2 s").arg(m_what, QString::number(ms / 1000.0, 'f', 1)));
    if (ms >= kShowAfterMs && isHidden())
        show();
}
