#pragma once

#include "fakedialogs.h"

#include <QString>
#include <QStringList>
#include <utility>

class MainWindow;
class DocumentWindow;
class FakeBrowser;
class QWebEngineView;

namespace fixture {

// Removes the settings store so the next reader sees an empty one.
void clearSettings();
// Writes key=value pairs into a section of the settings store file directly, as a user or an
// earlier run would have left them.
void writeSettings(const QString &section, const QList<std::pair<QString, QString>> &values);
// The settings store file's text, or an empty string when there is none.
QString settingsFileText();
bool settingsFileExists();

// The document windows open in the main window, in the order the window list gives.
QList<DocumentWindow *> documentWindows(MainWindow *main);
// Triggers File > New and returns the new window.
DocumentWindow *newDocument(MainWindow *main);
// The text a view's page shows now (empty, with a warning, when it does not arrive).
QString pageText(QWebEngineView *view);

// A shown main window over an empty settings store, with every dialog and the browser scripted.
// Test classes inherit it and call start() in init() and stop() in cleanup().
struct Session {
    FakeDialogs *fake = nullptr;
    FakeBrowser *browser = nullptr;
    MainWindow *main = nullptr;

    bool start();
    // Drops whatever the test left changed without asking, and tears everything down.
    void stop();
};

} // namespace fixture
