#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Loading a document the user typed or pasted as an address. The result always comes back to
// the caller, which decides how to show it; nothing here shows a dialog or prints anything.

struct UrlFetchResult {
    bool ok = false;
    QByteArray data;  // the body on success (may be empty)
    QString error;    // on failure: a complete sentence for the user that names the address
    QString finalUrl; // where the body really came from, after redirects, percent-encoded;
                      // relative references in the document resolve against this
    QString refusedRedirect; // when the observer refused a redirect: where the server tried to
                             // send the fetch (percent-encoded); empty otherwise
};

// Lets the caller follow a fetch and stop it. Kept free of widgets: whoever shows the progress
// decides how.
struct UrlFetchObserver {
    // Called whenever data arrives and at least every 100 ms while the fetch waits, also when
    // nothing arrives, with the body bytes received so far and the announced size (-1 while
    // unknown). Returning false cancels the fetch, which then fails as cancelled.
    std::function<bool(qint64 received, qint64 total)> progress;
    // Asked before each redirect is followed, with the address the server sends the fetch on to
    // (percent-encoded). Returning false ends the fetch there: nothing is asked of that address.
    // Without it every redirect is followed, up to five; with or without it, never one from
    // https to a less safe address.
    std::function<bool(const QString &to)> redirectAllowed;
};

// The program-wide time a server may stay silent before a fetch gives up, in milliseconds.
int urlFetchTimeoutMs();
// A non-positive value restores the built-in default of 20 seconds.
void setUrlFetchTimeoutMs(int ms);

// The program-wide time a whole fetch may take, however steadily the data arrives, in
// milliseconds. A non-positive value restores the built-in default of 120 seconds.
int urlFetchTotalLimitMs();
void setUrlFetchTotalLimitMs(int ms);

// Fetches an http, https or file URL and waits for it in a local event loop. Everything else
// goes on meanwhile, user input included, so the caller must make sure that nothing it relies
// on can be closed or started again before the fetch returns. Safe to call from inside another
// event loop, including another fetchUrl.
//
// Gives up when the server sends nothing for timeoutMs (whether it never answered or stalled
// part way through), when the whole fetch takes longer than urlFetchTotalLimitMs(), when the
// body would exceed maxBytes, and when the observer asks to cancel. A non-positive timeoutMs
// means the program-wide default.
UrlFetchResult fetchUrl(const QString &url, int timeoutMs = urlFetchTimeoutMs(),
                        qint64 maxBytes = 256LL * 1024 * 1024);
UrlFetchResult fetchUrl(const QString &url, const UrlFetchObserver &observer, int timeoutMs = urlFetchTimeoutMs(),
                        qint64 maxBytes = 256LL * 1024 * 1024);
