#pragma once

#include "engine/previewpipeline.h"

#include <QPointF>
#include <QStringList>
#include <QWidget>

class BusyStrip;
class PreviewGuard;
class QLabel;
class QStackedWidget;
class QTabBar;
class QWebEngineProfile;
class QWebEngineView;
class SyntaxBox;

// The live preview beside a document window's tabs: the result of the last transformation that
// succeeded, rendered as its xsl:output method says (HTML and XHTML as pages, XML as the web
// view shows XML, text as text), or as its raw text under "Result Source". A failed
// transformation leaves that render in place and shows its error in a strip above it.
class LivePreviewPane : public QWidget
{
    Q_OBJECT
public:
    explicit LivePreviewPane(bool runScripts, QWidget *parent = nullptr);
    ~LivePreviewPane() override;

    // A new result. documents are where the stylesheet and the source came from: the page may
    // read files under their folders and nothing else.
    void showResult(const preview::Result &result, const QStringList &documents);
    void setRunScripts(bool on);

    BusyStrip *busyStrip() const { return m_busy; }
    QString errorText() const;
    // The raw text of the last good result.
    QString resultSource() const;
    QWebEngineView *view() const { return m_view; }
    // Results rendered so far; a failed one does not count.
    int renders() const { return m_renders; }

    // Results up to this size are handed to the view directly, larger ones through a file.
    static constexpr qsizetype kInlineLimit = 1536 * 1024;

signals:
    void stopRequested();
    // The view has shown a new result (its page has finished loading).
    void rendered();

private:
    void render(const preview::Result &result, const QStringList &documents);

    QLabel *m_error = nullptr;
    BusyStrip *m_busy = nullptr;
    QTabBar *m_tabs = nullptr;
    QStackedWidget *m_stack = nullptr;
    QWebEngineView *m_view = nullptr;
    SyntaxBox *m_source = nullptr;
    // The last result, for Result Source once it is shown.
    QByteArray m_lastPage;
    QByteArray m_lastEncoding;
    bool m_sourcePending = false;
    void showPendingSource();
    QWebEngineProfile *m_profile = nullptr;
    PreviewGuard *m_guard = nullptr;
    QString m_folder; // private folder for results too large to hand over directly
    QString m_pageFile;
    QPointF m_scroll;
    int m_renders = 0;
};
