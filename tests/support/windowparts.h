#pragma once

// A document window's parts, found as a user's tools find them: by their names.
#include "components/syntaxbox.h"
#include "components/tagcompletionlist.h"

#include <QStatusBar>
#include <QTabWidget>
#include <QWebEngineView>

inline SyntaxBox *stylesheetPane(const QObject *window)
{
    return window->findChild<SyntaxBox *>(QStringLiteral("txtXSLT"));
}
inline SyntaxBox *sourcePane(const QObject *window)
{
    return window->findChild<SyntaxBox *>(QStringLiteral("txtXML"));
}
// The Stylesheet, XML and Preview pages.
inline QTabWidget *pageTabs(const QObject *window)
{
    return window->findChild<QTabWidget *>(QStringLiteral("SSTab"));
}
inline QWebEngineView *previewView(const QObject *window)
{
    return window->findChild<QWebEngineView *>(QStringLiteral("WebBrowser"));
}
inline QStatusBar *windowStatus(const QObject *window)
{
    return window->findChild<QStatusBar *>(QStringLiteral("StatusBar"));
}
inline TagCompletionList *completionList(const QObject *window)
{
    return window->findChild<TagCompletionList *>(QStringLiteral("ucVBIntelli"));
}
