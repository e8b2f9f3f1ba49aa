#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

class QLabel;
class QPushButton;

// A thin strip that says the engine is at work, with the time it has taken so far and a Stop
// button. It appears only when the work takes longer than a moment, so quick previews do not
// flicker.
class BusyStrip : public QWidget
{
    Q_OBJECT
public:
    explicit BusyStrip(QWidget *parent = nullptr);

    // stoppable: whether the Stop button shows.
    void begin(const QString &what, bool stoppable = true);
    void end();
    bool running() const { return m_clock.isValid(); }
    QString text() const;

    // How long work runs before the strip shows.
    static constexpr int kShowAfterMs = 250;

signals:
    void stopRequested();
    void runningChanged(bool running);

private:
    void tick();

    QLabel *m_label = nullptr;
    QPushButton *m_stop = nullptr;
    QString m_what;
    QElapsedTimer m_clock;
    QTimer m_timer;
};
