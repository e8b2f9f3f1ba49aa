#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMainWindow>
#include <QPointer>

#include "document/documentwindow.h"
#include "platform/dialogs.h"

#include <functional>
#include <vector>

class QLabel;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QTextBrowser;
class QToolBar;
class DocumentWindow;

// The main window: hosts the document windows, owns the menus, the toolbar and the status bar,
// and keeps the registry of open document windows.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // True while Ctrl is held down in a document window; the Paste command does nothing then.
    bool controlKeyDown = false;
    // True while the start-up sequence runs.
    bool starting = false;
    // Index of the last entry of the recently used files list; -1 when the list is empty.
    int lastRecentIndex = -1;

    // Menu items and submenus by their object name ("mnuSave", "mnuOpenXML", ...).
    QAction *menuItem(const QString &name) const;
    // The toolbar button with this key ("New", "Open", ...): the action of its menu item.
    QAction *toolbarButton(const QString &key) const;
    // Toolbar entries, separators included.
    int buttonCount() const;
    // Text of a status bar panel, 1 to 4.
    QString panelText(int index) const;

    QMdiArea *mdiArea() const { return m_mdi; }
    // The document window that has the focus inside the main window, or none.
    DocumentWindow *activeDocument() const;

    // The registry of open document windows, in the order they were opened.
    const QList<QPointer<DocumentWindow>> &documents() const { return m_documents; }
    void addFormToArray(DocumentWindow *form);
    void removeFormFromArray(int index);

    void newDocument();
    // Opens a stylesheet in a new document window; without a path, asks for a file first.
    bool openXSLT(const QString &path = QString());
    // Opens what the command line or a drop names, in order: a .xsl or .xslt file or address
    // as a stylesheet in a window of its own, anything else as the XML source of the
    // stylesheet opened before it, or of a new window when there is none.
    void openSources(const QStringList &sources);
    void mruItemClicked(int index);
    void applyOptions();
    // Tools > Options: the options dialog, then the confirmed options applied.
    void showOptions();
    // Reads the stored font, colours, styles and parse-on-edit into every open document window.
    void setChildWindowFonts();
    // A click on the toolbar button with this key; a key no button has does nothing.
    void toolbarButtonClick(const QString &key);
    // After a crash or a kill: removes what saves cut short left beside the user's files, and
    // offers the unsaved work the ended program kept (stylesheets and XML sources), each
    // document in a window of its own, and deletes the copies either way.
    void restoreUnsavedWork();
    // With the option on, opens the stylesheets and their sources that were open when the
    // program last closed.
    void reopenWindows();

    // "v" + major.minor.revision, plain decimals.
    static QString versionText(int major, int minor, int revision);
    // The start time as "mm/dd/yyyy h:mm AMPM", AM and PM as the locale writes them.
    static QString startTimeText(const QDateTime &when, const QLocale &locale);

    // The help file the Help commands open.
    QString helpFile() const { return m_helpFile; }
    // Captions of the recently used files entries in use, newest first.
    QStringList mruList() const;

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    struct Command;
    // Every command of the window, once: menu place, caption, key, icon, toolbar slot, handler.
    static const std::vector<Command> &commands();
    void buildCommands();
    // Turns on or off every command with any of these availability bits.
    void setAvailable(unsigned availability, bool on);
    void applyEditState(const EditState &state);
    // Connects a new document window's reports to this window.
    void adopt(DocumentWindow *doc);

    void cmdOpenXSLTFile();
    void cmdOpenXSLTURL();
    void cmdOpenXMLFile();
    void cmdOpenXMLURL();
    void loadXmlInto(const std::function<QString()> &ask);
    void cmdSave();
    void cmdSaveAs();
    void cmdOpenFirstRecent();
    void cmdExit();
    void cmdPaste();
    void cmdPreview();
    void cmdLivePreview();
    void cmdLineNumbers();
    void cmdSaveSource();
    void cmdSaveSourceAs();
    void cmdProblems();
    void cmdParameters();
    void cmdOutline();
    void cmdTrace();
    void cmdProfile();
    void cmdGoToLine();
    void openReferenced(const QString &path, int line);
    // The window of a stylesheet file, made active; opened (for editing) when none shows it.
    DocumentWindow *stylesheetWindow(const QString &path);
    void cmdFeedback();
    void cmdAbout();
    void cmdTileHorizontally();
    void cmdTileVertically();
    void cmdCascade();
    void cmdArrangeIcons();

    void arrangeWindows(int arrangement);
    void showHelpContents();
    void buildStatusBar();
    void updateLockPanels();
    void rebuildWindowList();
    void onSubWindowActivated(QMdiSubWindow *window);
    void showDocumentWindow(DocumentWindow *doc);
    void loadMRUList();
    void saveMRUList();
    void updateMRUList(const QString &path);
    int findMRUItem(const QString &path) const;
    // Notes the open windows for the next start, when the option asks for it.
    void saveOpenWindows();
    static QString mruPath(const QAction *entry);
    static void setMRUEntry(QAction *entry, const QString &path);
    void addMRUItem(const QString &path);
    void moveMRUItemToTop(const QString &path, int index);
    void unload();

    QMdiArea *m_mdi = nullptr;
    QToolBar *m_toolbar = nullptr;
    QMenu *m_windowMenu = nullptr;
    QList<QAction *> m_windowListActions;
    QHash<QString, QAction *> m_items;
    QLabel *m_panels[4] = {};
    QList<QPointer<DocumentWindow>> m_documents;
    QList<QAction *> m_mruItems; // mnuMRU entries, index 0 first
    QString m_helpFile;
    CommonDialog m_commonDialog;
    QTextBrowser *m_helpWindow = nullptr;
    bool m_unloaded = false;
    int m_pendingLoads = 0; // stylesheets loading into windows not shown yet
};
