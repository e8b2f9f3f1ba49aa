#pragma once

#include <QByteArray>
#include <QString>

// Loading a document the user typed or pasted as an address. The result always comes back to
// the caller, which decides how to show it; nothing here shows a dialog or prints anything.

struct UrlFetchResult {
    bool ok = false;
    QByteArray data;  // the body on success (may be empty)
    QString error;    // on failure: a complete sentence for the user that names the address
    QString finalUrl; // where the body really came from, after redirects, percent-encoded;
                      // relative references in the document resolve against this
};

// The program-wide time a server may stay silent before a fetch gives up, in milliseconds.
int urlFetchTimeoutMs();
// A non-positive value restores the built-in default of 20 seconds.
void setUrlFetchTimeoutMs(int ms);

// Fetches an http, https or file URL and waits for it. Timers and painting go on meanwhile,
// but user input is held back until the fetch returns, so no command can re-enter the caller.
// Safe to call from inside another event loop, including another fetchUrl.
//
// Gives up when the server sends nothing for timeoutMs (whether it never answered or stalled
// part way through), and when the body would exceed maxBytes. A non-positive timeoutMs means
// the program-wide default.
UrlFetchResult fetchUrl(const QString &url, int timeoutMs = urlFetchTimeoutMs(),
                        qint64 maxBytes = 256LL * 1024 * 1024);
