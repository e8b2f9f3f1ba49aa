#include "engine/urlfetch.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <memory>

namespace {

constexpr int kDefaultTimeoutMs = 20000;
// A server that keeps sending a byte now and then would never meet the silence limit.
constexpr int kDefaultTotalLimitMs = 120000;
// How often the observer hears from a fetch that is waiting for data.
constexpr int kObserverPollMs = 100;
// Redirects followed at most: enough for the usual http-to-https and trailing-slash hops; longer
// chains are nearly always loops.
constexpr int kMaxRedirects = 5;

std::atomic<int> g_timeoutMs{kDefaultTimeoutMs};
std::atomic<int> g_totalLimitMs{kDefaultTotalLimitMs};

QString duration(int ms)
{
    if (ms == 1000)
        return QStringLiteral("1 second");
    return QStringLiteral("%1 seconds").arg(QString::number(ms / 1000.0, 'g', 3));
}

QString size(qint64 bytes)
{
    if (bytes >= 1024 * 1024)
        return QStringLiteral("%1 MB").arg(QString::number(bytes / (1024.0 * 1024.0), 'g', 4));
    if (bytes >= 1024)
        return QStringLiteral("%1 KB").arg(QString::number(bytes / 1024.0, 'g', 4));
    return QStringLiteral("%1 bytes").arg(bytes);
}

QString tooLarge(const QString &shown, qint64 maxBytes)
{
    return QStringLiteral("The document at %1 is larger than %2, the most that can be opened.")
        .arg(shown, size(maxBytes));
}

// Qt's texts are sentence fragments, some with a full stop and some without; ours wrap them.
QString fragment(QString text)
{
    while (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

// Qt's words for a failed reply, except where they say nothing to a user: a compressed answer
// that cannot be unpacked comes as "Decompression failed: " with an empty reason, or names an
// API setting.
QString describe(const QNetworkReply &reply)
{
    const QString text = fragment(reply.errorString()).trimmed();
    if (text.startsWith(QLatin1String("Decompression failed"), Qt::CaseInsensitive)
        || text.contains(QLatin1String("decompressed"), Qt::CaseInsensitive))
        return QStringLiteral("the server sent a compressed answer that could not be unpacked "
                              "(it is damaged, or it would unpack to far more than it claims)");
    if (text.isEmpty() || text.endsWith(QLatin1Char(':')))
        return QStringLiteral("the connection failed (network error %1)").arg(int(reply.error()));
    return text;
}

UrlFetchResult failure(const QString &error, const QString &finalUrl = QString())
{
    UrlFetchResult r;
    r.error = error;
    r.finalUrl = finalUrl;
    return r;
}

UrlFetchResult readLocalFile(const QUrl &url, const QString &shown, qint64 maxBytes)
{
    const QString host = url.host();
    if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0)
        return failure(QStringLiteral("Cannot open %1: only files on this computer can be opened, "
                                      "and this address names the computer \"%2\".").arg(shown, host));

    // QUrl would turn "file://localhost/x" into the network path "//localhost/x".
    QUrl local = url;
    local.setHost(QString());
    const QString path = local.toLocalFile();
    const QString finalUrl = QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
    // A pipe or device would block the read forever, and a folder has no content to parse.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return failure(QStringLiteral("Cannot open %1: it is not a document file.").arg(shown), finalUrl);

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failure(QStringLiteral("Could not read %1: %2.").arg(shown, fragment(file.errorString())), finalUrl);
    if (file.size() > maxBytes)
        return failure(tooLarge(shown, maxBytes), finalUrl);
    UrlFetchResult r;
    r.data = file.readAll();
    r.finalUrl = finalUrl;
    if (file.error() != QFileDevice::NoError)
        return failure(QStringLiteral("Could not read %1: %2.").arg(shown, fragment(file.errorString())), finalUrl);
    if (r.data.size() > maxBytes) // it grew after we looked
        return failure(tooLarge(shown, maxBytes), finalUrl);
    r.ok = true;
    return r;
}

enum class GaveUp { No, Silent, Stalled, TookTooLong, TooLarge, HttpStatus, Cancelled, RedirectRefused, LessSafeRedirect, TooManyRedirects };

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

UrlFetchResult fetchOverNetwork(const QUrl &url, const QString &shown, int timeoutMs, qint64 maxBytes,
                                const UrlFetchObserver &observer)
{
    // Everything the wait touches lives on this stack frame, so a fetch started from inside
    // another one's wait shares nothing with it. The manager is declared first so it is
    // destroyed last, after the reply it owns.
    QNetworkAccessManager manager;

    QEventLoop loop;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    watchdog.setInterval(timeoutMs);
    const int totalLimitMs = urlFetchTotalLimitMs();
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setInterval(totalLimitMs);
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    poll.setInterval(kObserverPollMs);

    std::unique_ptr<QNetworkReply> reply;
    QUrl asked = url;       // the address of the hop under way
    QString redirectTarget; // where a redirect that was not followed would have gone
    QByteArray body;
    bool finished = false;
    bool heardFromServer = false;
    qint64 announced = -1;
    GaveUp gaveUp = GaveUp::No;

    // Aborting from inside one of the reply's own signals makes Qt report a second error on
    // the way out of it, so the abort waits for the next pass of the loop. Until then take()
    // throws away whatever still arrives.
    auto giveUp = [&](GaveUp why) {
        if (gaveUp != GaveUp::No)
            return;
        gaveUp = why;
        QMetaObject::invokeMethod(reply.get(), &QNetworkReply::abort, Qt::QueuedConnection);
    };
    // Any sign of life from the server restarts the silence limit.
    auto heard = [&] {
        heardFromServer = true;
        if (!finished)
            watchdog.start();
    };
    auto status = [&] { return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(); };
    auto take = [&] {
        const QByteArray chunk = reply->readAll();
        // The body of a redirect is a note for browsers of long ago.
        if (gaveUp != GaveUp::No || isRedirect(status()))
            return;
        body += chunk;
        if (body.size() > maxBytes)
            giveUp(GaveUp::TooLarge);
    };
    auto report = [&] {
        if (observer.progress && !finished && gaveUp == GaveUp::No && !observer.progress(body.size(), announced))
            giveUp(GaveUp::Cancelled);
    };

    // Redirects are followed here, one request per hop, rather than by Qt: each hop is checked
    // before its server is asked anything.
    auto ask = [&] {
        QNetworkRequest request(asked);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        reply.reset(manager.get(request));
        finished = false;
        heardFromServer = false;
        announced = -1;
        watchdog.start();
        QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, [&] {
            heard();
            const int code = status();
            // The error page is of no use to the user; the status line says everything.
            if (code >= 400) {
                giveUp(GaveUp::HttpStatus);
                return;
            }
            bool known = false;
            const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
            announced = known && code / 100 == 2 ? length : -1;
            if (code / 100 == 2 && known && length > maxBytes)
                giveUp(GaveUp::TooLarge);
        });
        QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, [&] {
            heard();
            take();
            report();
        });
        QObject::connect(reply.get(), &QNetworkReply::downloadProgress, &loop, heard);
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, [&] {
            finished = true;
            watchdog.stop();
            loop.quit();
        });
    };
    // Where the finished hop sends the fetch next; empty when it is the last one (or gave up).
    auto nextHop = [&](int redirectsSoFar) -> QUrl {
        if (gaveUp != GaveUp::No || reply->error() != QNetworkReply::NoError || !isRedirect(status()))
            return QUrl();
        const QUrl location = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        const QUrl target = location.isEmpty() ? QUrl() : asked.resolved(location);
        const QString scheme = target.scheme();
        // Without a usable address the status line tells the user what happened.
        if (!target.isValid() || target.host().isEmpty()
            || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
            return QUrl();
        redirectTarget = target.toString(QUrl::FullyEncoded);
        if (redirectsSoFar == kMaxRedirects)
            gaveUp = GaveUp::TooManyRedirects;
        else if (asked.scheme() == QLatin1String("https") && scheme != QLatin1String("https"))
            gaveUp = GaveUp::LessSafeRedirect;
        else if (observer.redirectAllowed && !observer.redirectAllowed(redirectTarget))
            gaveUp = GaveUp::RedirectRefused;
        return gaveUp == GaveUp::No ? target : QUrl();
    };

    QObject::connect(&watchdog, &QTimer::timeout, &loop, [&] {
        if (!finished)
            giveUp(heardFromServer ? GaveUp::Stalled : GaveUp::Silent);
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        if (!finished)
            giveUp(GaveUp::TookTooLong);
    });
    QObject::connect(&poll, &QTimer::timeout, &loop, report);

    deadline.start();
    if (observer.progress)
        poll.start();
    for (int redirects = 0;; ++redirects) {
        ask();
        // User input is not held back: a load may take minutes, and the program must stay
        // usable (and the observer's Cancel button clickable) meanwhile.
        if (!finished)
            loop.exec();
        if (!finished) { // the application is quitting and told every event loop to exit
            giveUp(GaveUp::Cancelled);
            reply->abort();
            break;
        }
        const QUrl next = nextHop(redirects);
        if (next.isEmpty())
            break;
        asked = next;
    }
    watchdog.stop();
    deadline.stop();
    poll.stop();

    const QString finalUrl = asked.toString(QUrl::FullyEncoded);
    switch (gaveUp) {
    case GaveUp::Silent:
        return failure(QStringLiteral("The server did not answer within %1 while loading %2.")
                           .arg(duration(timeoutMs), shown), finalUrl);
    case GaveUp::Stalled:
        return failure(QStringLiteral("The server stopped sending data for %1 while loading %2.")
                           .arg(duration(timeoutMs), shown), finalUrl);
    case GaveUp::TookTooLong:
        return failure(QStringLiteral("Loading %1 took longer than %2 and was stopped.")
                           .arg(shown, duration(totalLimitMs)), finalUrl);
    case GaveUp::TooLarge:
        return failure(tooLarge(shown, maxBytes), finalUrl);
    case GaveUp::Cancelled:
        return failure(QStringLiteral("Loading %1 was cancelled.").arg(shown), finalUrl);
    case GaveUp::RedirectRefused: {
        UrlFetchResult r = failure(QStringLiteral("%1 was not loaded: the server sent it on to %2, which may not be "
                                                  "read from here.").arg(shown, redirectTarget), finalUrl);
        r.refusedRedirect = redirectTarget;
        return r;
    }
    case GaveUp::LessSafeRedirect:
        return failure(QStringLiteral("Could not load %1: the server sent it on to %2, which is not a secure "
                                      "(https) address.").arg(shown, redirectTarget), finalUrl);
    case GaveUp::TooManyRedirects:
        return failure(QStringLiteral("Could not load %1: the server sent it on more than %2 times, as if in a loop.")
                           .arg(shown).arg(kMaxRedirects), finalUrl);
    case GaveUp::HttpStatus:
    case GaveUp::No:
        break;
    }

    const int code = status();
    const QString statusLine = QStringLiteral("%1 %2")
                                   .arg(code)
                                   .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString())
                                   .trimmed();
    if (code >= 400)
        return failure(QStringLiteral("The server answered %1 for %2.").arg(statusLine, shown), finalUrl);
    if (code >= 300)
        return failure(QStringLiteral("The server answered %1 for %2 but did not redirect to an address "
                                      "that can be opened.").arg(statusLine, shown), finalUrl);
    if (reply->error() != QNetworkReply::NoError)
        return failure(QStringLiteral("Could not load %1: %2.").arg(shown, describe(*reply)), finalUrl);

    take(); // whatever arrived together with finished()
    if (gaveUp == GaveUp::TooLarge)
        return failure(tooLarge(shown, maxBytes), finalUrl);
    UrlFetchResult r;
    r.ok = true;
    r.data = std::move(body);
    r.finalUrl = finalUrl;
    return r;
}

} // namespace

int urlFetchTimeoutMs()
{
    return g_timeoutMs.load();
}

void setUrlFetchTimeoutMs(int ms)
{
    g_timeoutMs.store(ms > 0 ? ms : kDefaultTimeoutMs);
}

int urlFetchTotalLimitMs()
{
    return g_totalLimitMs.load();
}

void setUrlFetchTotalLimitMs(int ms)
{
    g_totalLimitMs.store(ms > 0 ? ms : kDefaultTotalLimitMs);
}

UrlFetchResult fetchUrl(const QString &url, int timeoutMs, qint64 maxBytes)
{
    return fetchUrl(url, UrlFetchObserver(), timeoutMs, maxBytes);
}

UrlFetchResult fetchUrl(const QString &url, const UrlFetchObserver &observer, int timeoutMs, qint64 maxBytes)
{
    if (timeoutMs <= 0)
        timeoutMs = urlFetchTimeoutMs();
    // Addresses are often pasted with a stray space or line break around them.
    const QString shown = url.trimmed();
    if (shown.isEmpty())
        return failure(QStringLiteral("No address was given. Enter a full URL such as https://example.com/style.xsl."));

    const QUrl parsed(shown);
    const QString scheme = parsed.scheme(); // QUrl keeps schemes in lower case
    const bool web = scheme == QLatin1String("http") || scheme == QLatin1String("https");
    if (!parsed.isValid() || scheme.isEmpty() || (web && parsed.host().isEmpty()))
        return failure(QStringLiteral("\"%1\" is not a valid address. Enter a full URL such as "
                                      "https://example.com/style.xsl.").arg(shown));
    if (scheme == QLatin1String("file"))
        return readLocalFile(parsed, shown, maxBytes);
    if (!web)
        return failure(QStringLiteral("Cannot open %1: only http, https and file addresses are supported.").arg(shown));
    return fetchOverNetwork(parsed, shown, timeoutMs, maxBytes, observer);
}
