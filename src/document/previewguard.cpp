#include "document/previewguard.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>
#include <QWebEngineProfile>
#include <QWebEngineSettings>

PreviewGuard::PreviewGuard(QObject *parent)
    : QWebEngineUrlRequestInterceptor(parent)
{
}

PreviewGuard::Profile PreviewGuard::createProfile(QObject *owner, bool runScripts)
{
    Profile p;
    p.profile = new QWebEngineProfile(owner);
    p.guard = new PreviewGuard(p.profile);
    p.profile->setUrlRequestInterceptor(p.guard);
    applySettings(p.profile->settings(), runScripts);
    return p;
}

void PreviewGuard::setScope(const QStringList &documents, const QString &pageFile)
{
    m_folders.clear();
    for (const QString &document : documents) {
        const QString folder = folderOf(document);
        if (!folder.isEmpty() && !m_folders.contains(folder))
            m_folders << folder;
    }
    m_pageFile = pageFile.isEmpty() ? QString() : QFileInfo(pageFile).canonicalFilePath();
}

void PreviewGuard::interceptRequest(QWebEngineUrlRequestInfo &info)
{
    if (!allows(info.requestUrl(), m_folders, m_pageFile))
        info.block(true);
}

QString PreviewGuard::folderOf(const QString &documentPath)
{
    // A document from the web vouches for no folder on this computer.
    if (documentPath.isEmpty() || documentPath.contains(QLatin1String("://")))
        return QString();
    // The folder the user put the document in, even when the document itself is a link to a
    // file elsewhere: that is where its relative references point.
    return QFileInfo(QFileInfo(documentPath).absolutePath()).canonicalFilePath();
}

bool PreviewGuard::allows(const QUrl &url, const QStringList &folders, const QString &pageFile)
{
    const QString scheme = url.scheme(); // QUrl keeps schemes in lower case
    if (scheme == QLatin1String("data") || scheme == QLatin1String("blob") || scheme == QLatin1String("qrc"))
        return true;
    if (scheme == QLatin1String("about"))
        return url.path() == QLatin1String("blank") || url.path() == QLatin1String("srcdoc");
    if (scheme != QLatin1String("file"))
        return false;
    const QString host = url.host();
    if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0)
        return false;

    QUrl local = url;
    local.setHost(QString());
    // The browser removes ".." from the address before it opens the file, so that comes first;
    // then the links on the way are resolved as the file system will resolve them.
    const QString path = QDir::cleanPath(local.toLocalFile());
    if (path.isEmpty() || path.contains(QChar(0)))
        return false;
    const QString real = QFileInfo(path).canonicalFilePath();
    if (real.isEmpty())
        return false; // nothing there to load
    if (!pageFile.isEmpty() && real == pageFile)
        return true;
    for (const QString &folder : folders) {
        if (folder.isEmpty())
            continue;
        const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
        if (real.startsWith(prefix))
            return true;
    }
    return false;
}

void PreviewGuard::applySettings(QWebEngineSettings *settings, bool runScripts)
{
    using S = QWebEngineSettings;
    settings->setAttribute(S::JavascriptEnabled, runScripts);
    settings->setAttribute(S::JavascriptCanOpenWindows, false);
    settings->setAttribute(S::JavascriptCanAccessClipboard, false);
    settings->setAttribute(S::JavascriptCanPaste, false);
    settings->setAttribute(S::AllowWindowActivationFromJavaScript, false);
    settings->setAttribute(S::LocalStorageEnabled, false);
    settings->setAttribute(S::LocalContentCanAccessRemoteUrls, false);
    // Pictures and style sheets beside the documents need it; the guard keeps it to their folders.
    settings->setAttribute(S::LocalContentCanAccessFileUrls, true);
    settings->setAttribute(S::PluginsEnabled, false);
    settings->setAttribute(S::PdfViewerEnabled, false);
    settings->setAttribute(S::HyperlinkAuditingEnabled, false);
    settings->setAttribute(S::DnsPrefetchEnabled, false);
    settings->setAttribute(S::AllowRunningInsecureContent, false);
    settings->setAttribute(S::AllowGeolocationOnInsecureOrigins, false);
    settings->setAttribute(S::FullScreenSupportEnabled, false);
    settings->setAttribute(S::ScreenCaptureEnabled, false);
    settings->setAttribute(S::WebRTCPublicInterfacesOnly, true);
    settings->setAttribute(S::NavigateOnDropEnabled, false);
}

PreviewPage::PreviewPage(QWebEngineProfile *profile, const PreviewGuard *guard, QObject *parent)
    : QWebEnginePage(profile, parent)
    , m_guard(guard)
{
}

bool PreviewPage::acceptNavigationRequest(const QUrl &url, NavigationType, bool)
{
    return m_guard->permits(url);
}
