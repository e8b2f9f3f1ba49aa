#pragma once

#include <functional>

#include <QString>
#include <QStringList>
#include <QWebEnginePage>
#include <QWebEngineUrlRequestInterceptor>

class QUrl;
class QWebEngineProfile;
class QWebEngineSettings;

// Decides what the Preview tab's page may load: the page's own file, files under the folders of
// the stylesheet and of the XML source, and content that never leaves the program (data:,
// blob:, the program's own qrc: pictures). Every other file and everything on a network is
// refused, so a stylesheet's result can neither read the user's other files nor send anything
// anywhere, whether or not its scripts run.
class PreviewGuard : public QWebEngineUrlRequestInterceptor
{
    Q_OBJECT
public:
    // Before the application object, which makeApplication creates: the previews draw with the
    // CPU. A page of output needs no graphics card, and OpenGL would be loaded at start-up for a
    // view that may never be shown (Mesa's software OpenGL alone keeps 45 MB, a driver's more).
    static void drawWithoutOpenGL(const std::function<void()> &makeApplication);

    explicit PreviewGuard(QObject *parent = nullptr);

    // documents: where the stylesheet and the source were read from. A URL or an empty entry
    // (a document typed into the window) contributes no folder. pageFile: the file the Preview
    // tab is about to show.
    void setScope(const QStringList &documents, const QString &pageFile);
    QStringList folders() const { return m_folders; }

    void interceptRequest(QWebEngineUrlRequestInfo &info) override;
    // Whether the page may load url now.
    bool permits(const QUrl &url) const { return allows(url, m_folders, m_pageFile); }

    // The folder of a document read from documentPath, with ".." and symbolic links resolved;
    // empty for a URL, an empty path or a folder that does not exist.
    static QString folderOf(const QString &documentPath);
    // Whether the page may load url. folders and pageFile are canonical paths, as folderOf and
    // QFileInfo::canonicalFilePath give them.
    static bool allows(const QUrl &url, const QStringList &folders, const QString &pageFile);

    // Sets everything else the page may do: scripts only when runScripts, and even then no
    // new windows, no clipboard, no storage, no plugins and no remote content.
    static void applySettings(QWebEngineSettings *settings, bool runScripts);

    // A profile of its own for one preview view, a child of owner, kept in memory only, whose
    // every request passes a new guard: previews share nothing (no cache, no cookies), and the
    // guard also sees requests that belong to no page, such as those of a worker. Its pages'
    // scripts find no WebRTC and no WebTransport, which reach the network past the guard, and
    // the web engine sends no WebRTC UDP at all.
    struct Profile {
        QWebEngineProfile *profile = nullptr;
        PreviewGuard *guard = nullptr;
    };
    static Profile createProfile(QObject *owner, bool runScripts);
    // The page with the same removal put in as its first script (html: an HTML page; otherwise
    // an XML one), for a view that runs scripts. The web engine runs a profile's scripts a
    // moment after a document starts, and the XML parser may have run the page's own by then.
    static QByteArray guardedPage(const QByteArray &page, bool html);

private:
    QStringList m_folders;
    QString m_pageFile;
};

// The Preview tab's page. It goes nowhere the guard would not load: the web engine hands an
// address of a scheme it does not know itself (mailto: and whatever else the desktop has a
// program for) to that program, past the guard, and such an address can carry whatever the
// page has read. A link or a script could do that at the user's next click.
class PreviewPage : public QWebEnginePage
{
public:
    PreviewPage(QWebEngineProfile *profile, const PreviewGuard *guard, QObject *parent);

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;

private:
    const PreviewGuard *m_guard;
};
