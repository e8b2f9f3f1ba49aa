#include "common/fetchprogress.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QProgressDialog>

#include <algorithm>

namespace {
// Loads that finish within this time come and go without a window flashing up.
constexpr qint64 kShowAfterMs = 1000;
// A long address is shortened in the middle so the window stays a sensible width.
constexpr int kLabelWidthPx = 480;
} // namespace

FetchProgress::FetchProgress(const QString &url, QWidget *near)
    : m_url(url.trimmed())
    , m_near(near)
{
    m_clock.start();
    m_observer.progress = [this](qint64 received, qint64 total) { return update(received, total); };
    // The program stays usable during the wait: the pointer says "working", not "wait".
    QGuiApplication::setOverrideCursor(Qt::BusyCursor);
}

FetchProgress::~FetchProgress()
{
    QGuiApplication::restoreOverrideCursor();
    delete m_dialog.data();
}

bool FetchProgress::update(qint64 received, qint64 total)
{
    if (m_cancelled)
        return false;
    if (!m_dialog && m_clock.elapsed() >= kShowAfterMs)
        show();
    if (m_dialog) {
        // Without a known size the bar only shows that something is going on.
        if (total > 0) {
            m_dialog->setRange(0, 100);
            m_dialog->setValue(int(std::clamp<qint64>(received * 100 / total, 0, 100)));
        } else {
            m_dialog->setRange(0, 0);
        }
    }
    return !m_cancelled;
}

void FetchProgress::show()
{
    QWidget *owner = m_near && m_near->isVisible() ? m_near->window() : QApplication::activeWindow();
    auto *dialog = new QProgressDialog(owner);
    dialog->setObjectName(QStringLiteral("dlgFetchProgress"));
    dialog->setWindowTitle(QStringLiteral("Loading"));
    const QString shown = dialog->fontMetrics().elidedText(m_url, Qt::ElideMiddle, kLabelWidthPx);
    dialog->setLabelText(QStringLiteral("Loading %1\u2026").arg(shown));
    dialog->setCancelButtonText(QStringLiteral("Cancel"));
    dialog->setWindowModality(Qt::NonModal);
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);
    dialog->setMinimumDuration(0);
    dialog->setRange(0, 0);
    // Cancel, Esc and the close box all mean the user does not want to wait any longer.
    QObject::connect(dialog, &QProgressDialog::canceled, dialog, [this] { m_cancelled = true; });
    QObject::connect(dialog, &QDialog::rejected, dialog, [this] { m_cancelled = true; });
    dialog->show();
    m_dialog = dialog;
}
