#pragma once

#include "engine/urlfetch.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QString>

class QProgressDialog;
class QWidget;

// Shows how a load from the network is getting on once it has taken longer than a second,
// with a Cancel button. The rest of the program stays usable meanwhile: the window is not
// modal. Lives on the stack of the code that waits for the fetch.
class FetchProgress
{
public:
    // near: the widget the load is for; the window is placed over its top-level window while
    // it is shown, otherwise over the active window.
    FetchProgress(const QString &url, QWidget *near);
    ~FetchProgress();
    FetchProgress(const FetchProgress &) = delete;
    FetchProgress &operator=(const FetchProgress &) = delete;

    // Pass to fetchUrl.
    const UrlFetchObserver &observer() const { return m_observer; }
    // True once the user pressed Cancel (or closed the window).
    bool cancelled() const { return m_cancelled; }
    // Ends the wait as Cancel does; the fetch stops at its next progress report.
    void cancel() { m_cancelled = true; }

private:
    bool update(qint64 received, qint64 total);
    void show();

    QString m_url;
    QPointer<QWidget> m_near;
    QPointer<QProgressDialog> m_dialog;
    QElapsedTimer m_clock;
    UrlFetchObserver m_observer;
    bool m_cancelled = false;
};
