#pragma once

#include "engine/previewpipeline.h"

#include <QPointF>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

class BusyStrip;
class PreviewGuard;
class QLabel;
class QStackedWidget;
class QTabBar;
class QToolButton;
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
    // annotated: the result's bytes with the map's marks, when made already (annotatedPage).
    void showResult(const preview::Result &result, const QStringList &documents, const QByteArray &annotated = QByteArray());
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

    // Inspect: the pointer over the rendered result outlines the element under it, and a click
    // there or on Result Source asks for where that output came from. The result's map comes
    // with it (Result::trace) while Inspect is on.
    void setInspecting(bool on);
    bool isInspecting() const;
    QToolButton *inspectButton() const { return m_inspect; }
    // The map of the result shown, if it came with one.
    const tracing::Report *map() const { return m_trace && !m_trace->nodes.isEmpty() ? m_trace.get() : nullptr; }
    // The mapped node at a byte offset of the result (innermost), or -1.
    int nodeAtOffset(qint64 offset) const;
    // The node at a point of the rendered view, through the page (answer comes in nodeInspected).
    void inspectAt(const QPoint &viewPoint);
    // Marks what the given nodes of the map are in the rendered view and in Result Source, and
    // says so in the note above the view.
    void showOutput(const QList<int> &nodes, const QString &note);
    // The note above the view: what Show Output found, or that the map was cut short.
    QString noteText() const;
    // The ranges of Result Source marked by showOutput, as UTF-8 positions of its text.
    QList<QPair<int, int>> markedSource() const { return m_marked; }
    SyntaxBox *sourceView() const { return m_source; }

signals:
    void stopRequested();
    // The view has shown a new result (its page has finished loading).
    void rendered();
    void inspectToggled(bool on);
    // A node of the map was pointed at, in the rendered view or in Result Source.
    void nodeInspected(int node);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void watchView();
    void runInPage(const QString &script, const std::function<void(const QVariant &)> &done = {});
    qint64 sourcePositionOf(qint64 offset) const;
    qint64 offsetOfSourcePosition(qint64 position) const;
    void sourceCaretMoved();
    bool isUtf8() const;
    static QString joinNumbers(const QList<int> &numbers);
    QToolButton *m_inspect = nullptr;
    QLabel *m_note = nullptr;
    std::shared_ptr<const tracing::Report> m_trace;
    QList<int> m_shown;
    QList<QPair<int, int>> m_marked;
    QObject *m_watched = nullptr;
    bool m_hoverPending = false;
    bool m_annotated = false;

    void render(const preview::Result &result, const QStringList &documents, const QByteArray &annotated);

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
    // A page of markup shown by a load of ours (not a page a link led to), and the base its
    // references resolve against: a next page with the same base and kind of document replaces
    // its content in place, without a new load.
    bool m_replaceable = false;
    QString m_shownBase;
    QString m_shownMime;
    QString m_shownCharset;
    int m_serial = 0; // the newest render, so that an older one's late answer is ignored
    void load(const QByteArray &page, const QString &mime, const QString &charset, const QString &base);
    void replaceContent(const QByteArray &page, const QString &mime, const QString &charset, const QString &base);
public:
    // How the last render reached the view: in place, or by a load.
    int inPlaceRenders() const { return m_inPlaceRenders; }
    // Of those, the ones where only what differed was changed.
    int patchedRenders() const { return m_patchedRenders; }

private:
    int m_inPlaceRenders = 0;
    int m_patchedRenders = 0;
};
