#include "app/mainwindow.h"

#include "common/common.h"
#include "document/documentwindow.h"
#include "document/stylesheetinsight.h"
#include "engine/engineclient.h"
#include "engine/fileio.h"
#include "engine/recoverystore.h"
#include "app/optionsdialog.h"
#include "options/settingsstore.h"
#include "platform/browserlauncher.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLibrary>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QStatusBar>
#include <QTextBrowser>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <vector>
#include <stdexcept>

namespace {

// Where Help > Feedback writes to.
constexpr const char *kFeedbackAddress = "feedback@zendrik.org";

QIcon iconFor(const char *name)
{
    const QString path = QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name));
    return QFile::exists(path) ? QIcon(path) : QIcon();
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    initResources();
    setObjectName(QStringLiteral("frmMDIMain"));
    setWindowTitle(QStringLiteral("Zendrik"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/new.svg")));
    resize(1000, 720);

    m_mdi = new QMdiArea(this);
    m_mdi->setObjectName(QStringLiteral("MDIClient"));
    m_mdi->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_mdi->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setCentralWidget(m_mdi);
    connect(m_mdi, &QMdiArea::subWindowActivated, this, &MainWindow::onSubWindowActivated);
    // A Ctrl released while another program has the focus never reaches a document window;
    // without this the Paste command would stay dead until Ctrl is pressed here again.
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state != Qt::ApplicationActive)
            controlKeyDown = false;
    });
    setAcceptDrops(true);
    m_mdi->viewport()->setMouseTracking(true);
    m_mdi->viewport()->installEventFilter(this);

    buildCommands();
    buildStatusBar();

    // Start-up, in this order.
    starting = true;
    m_helpFile = QCoreApplication::applicationDirPath() + QStringLiteral("/ZendrikHelp.html");
    m_panels[0]->setText(versionText(ZENDRIK_VERSION_MAJOR, ZENDRIK_VERSION_MINOR, ZENDRIK_VERSION_PATCH));
    m_panels[3]->setText(startTimeText(QDateTime::currentDateTime(), QLocale::system()));
    m_documents.clear();
    applyOptions();
    lastRecentIndex = -1;
    loadMRUList();
    starting = false;
}

MainWindow::~MainWindow()
{
    unload();
    // Document windows are destroyed after this object's members; what they report on the way
    // out has nobody left to hear it.
    disconnect(m_mdi, nullptr, this, nullptr);
    for (const QPointer<DocumentWindow> &doc : m_documents)
        if (doc)
            disconnect(doc, nullptr, this, nullptr);
}

QString MainWindow::versionText(int major, int minor, int revision)
{
    return QStringLiteral("v%1.%2.%3").arg(major).arg(minor).arg(revision);
}

QString MainWindow::startTimeText(const QDateTime &when, const QLocale &locale)
{
    QString am = locale.amText();
    QString pm = locale.pmText();
    // Locales without their own designators still get a 12-hour clock that says which half.
    if (am.isEmpty())
        am = QStringLiteral("AM");
    if (pm.isEmpty())
        pm = QStringLiteral("PM");
    const QTime t = when.time();
    const int hour12 = t.hour() % 12 == 0 ? 12 : t.hour() % 12;
    return QStringLiteral("%1 %2:%3 %4")
        .arg(when.date().toString(QStringLiteral("MM/dd/yyyy")))
        .arg(hour12)
        .arg(t.minute(), 2, 10, QLatin1Char('0'))
        .arg(t.hour() < 12 ? am : pm);
}

// When a command can be used. Edit commands follow the active document window's edit state;
// others come on with the first document window or with each activation; some go off when
// the pointer crosses the empty background with no document window left.
enum Availability : unsigned {
    Always = 0,
    EditCommand = 1,
    WithDocument = 2,
    WithActiveDocument = 4,
    OffOverEmptyArea = 8,
};

enum class Row { Menu, Submenu, EndSubmenu, Item, Separator };

// One row of the main window's command table: where it sits in the menus, what it shows, its
// toolbar slot (1-based position on the toolbar; the gaps are separators) and what it runs,
// on the main window or on the active document window.
struct MainWindow::Command {
    Row row;
    const char *name;
    const char *caption = "";
    const char *shortcut = "";
    const char *icon = "";
    bool iconInMenu = true;
    bool checkable = false;
    unsigned availability = Always;
    int toolbarSlot = 0;
    const char *toolbarKey = "";
    const char *tooltip = "";
    void (MainWindow::*onMain)() = nullptr;
    void (DocumentWindow::*onDocument)() = nullptr;
};

const std::vector<MainWindow::Command> &MainWindow::commands()
{
    using M = MainWindow;
    using D = DocumentWindow;
    constexpr unsigned Edit = EditCommand | OffOverEmptyArea;
    static const std::vector<Command> table = {
        {.row = Row::Menu, .name = "mnuFile", .caption = "&File"},
        {.row = Row::Item, .name = "mnuNew", .caption = "&New...", .shortcut = "Ctrl+N", .icon = "new",
         .toolbarSlot = 1, .toolbarKey = "New", .tooltip = "New XSLT File", .onMain = &M::newDocument},
        {.row = Row::Submenu, .name = "mnuOpen", .caption = "&Open XSLT", .icon = "open"},
        {.row = Row::Item, .name = "mnuOpenXSLTFile", .caption = "from &File...", .shortcut = "Ctrl+O", .icon = "open",
         .iconInMenu = false, .toolbarSlot = 2, .toolbarKey = "Open", .tooltip = "Open XSLT File", .onMain = &M::cmdOpenXSLTFile},
        {.row = Row::Item, .name = "mnuOpenXSLTURL", .caption = "from &URL...", .onMain = &M::cmdOpenXSLTURL},
        {.row = Row::EndSubmenu, .name = ""},
        {.row = Row::Submenu, .name = "mnuOpenXML", .caption = "Open XM&L", .availability = WithDocument | OffOverEmptyArea},
        {.row = Row::Item, .name = "mnuOpenXMLFile", .caption = "from &File...", .onMain = &M::cmdOpenXMLFile},
        {.row = Row::Item, .name = "mnuOpenXMLURL", .caption = "from &URL...", .onMain = &M::cmdOpenXMLURL},
        {.row = Row::EndSubmenu, .name = ""},
        {.row = Row::Separator, .name = "sep1"},
        {.row = Row::Item, .name = "mnuSave", .caption = "Save...", .shortcut = "Ctrl+S", .icon = "save",
         .availability = WithDocument | OffOverEmptyArea, .toolbarSlot = 3, .toolbarKey = "Save", .tooltip = "Save XSLT File",
         .onMain = &M::cmdSave},
        {.row = Row::Item, .name = "mnuSaveAs", .caption = "Save &As...", .availability = WithDocument | OffOverEmptyArea,
         .onMain = &M::cmdSaveAs},
        {.row = Row::Item, .name = "mnuSaveSource", .caption = "Save Sou&rce", .availability = WithActiveDocument | OffOverEmptyArea,
         .onMain = &M::cmdSaveSource},
        {.row = Row::Item, .name = "mnuSaveSourceAs", .caption = "Save Source A&s...",
         .availability = WithActiveDocument | OffOverEmptyArea, .onMain = &M::cmdSaveSourceAs},
        {.row = Row::Separator, .name = "sep2"},
        {.row = Row::Item, .name = "mnuPrint", .caption = "&Print...", .shortcut = "Ctrl+P", .icon = "print",
         .availability = WithActiveDocument | OffOverEmptyArea, .toolbarSlot = 4, .toolbarKey = "Print", .tooltip = "Print",
         .onDocument = &D::printDoc},
        {.row = Row::Separator, .name = "sep3"},
        {.row = Row::Item, .name = "mnuMRU", .caption = "MRU File List", .onMain = &M::cmdOpenFirstRecent},
        {.row = Row::Separator, .name = "sep7"},
        {.row = Row::Item, .name = "mnuExit", .caption = "E&xit", .onMain = &M::cmdExit},

        {.row = Row::Menu, .name = "mnuEdit", .caption = "&Edit"},
        {.row = Row::Item, .name = "mnuUndo", .caption = "&Undo", .shortcut = "Ctrl+Z", .icon = "undo", .availability = Edit,
         .toolbarSlot = 11, .toolbarKey = "Undo", .tooltip = "Undo", .onDocument = &D::undo},
        {.row = Row::Item, .name = "mnuRedo", .caption = "&Redo", .icon = "redo", .availability = EditCommand,
         .toolbarSlot = 12, .toolbarKey = "Redo", .tooltip = "Redo", .onDocument = &D::redo},
        {.row = Row::Item, .name = "mnuCut", .caption = "Cu&t", .shortcut = "Ctrl+X", .icon = "cut", .availability = Edit,
         .toolbarSlot = 6, .toolbarKey = "Cut", .tooltip = "Cut", .onDocument = &D::cut},
        {.row = Row::Item, .name = "mnuCopy", .caption = "&Copy", .shortcut = "Ctrl+C", .icon = "copy", .availability = Edit,
         .toolbarSlot = 7, .toolbarKey = "Copy", .tooltip = "Copy", .onDocument = &D::copy},
        {.row = Row::Item, .name = "mnuPaste", .caption = "&Paste", .shortcut = "Ctrl+V", .icon = "paste", .availability = Edit,
         .toolbarSlot = 8, .toolbarKey = "Paste", .tooltip = "Paste", .onMain = &M::cmdPaste},
        {.row = Row::Item, .name = "mnuSelectAll", .caption = "Select &All", .shortcut = "Ctrl+A", .availability = Edit,
         .onDocument = &D::selectAll},
        {.row = Row::Separator, .name = "sep4"},
        {.row = Row::Item, .name = "mnuFind", .caption = "&Find", .shortcut = "Ctrl+F", .icon = "find", .availability = Edit,
         .toolbarSlot = 9, .toolbarKey = "Find", .tooltip = "Find", .onDocument = &D::showFindDialog},
        {.row = Row::Item, .name = "mnuReplace", .caption = "R&eplace...", .shortcut = "Ctrl+H", .availability = Edit,
         .onDocument = &D::showReplaceDialog},
        {.row = Row::Item, .name = "mnuGoToLine", .caption = "&Go to Line...", .shortcut = "Ctrl+G",
         .availability = WithActiveDocument | OffOverEmptyArea, .onMain = &M::cmdGoToLine},
        {.row = Row::Separator, .name = "sep11"},
        {.row = Row::Item, .name = "mnuGoToDefinition", .caption = "Go to &Definition", .shortcut = "F12",
         .availability = WithActiveDocument | OffOverEmptyArea, .onDocument = &D::goToDefinition},
        {.row = Row::Item, .name = "mnuFindUsages", .caption = "Find U&sages", .shortcut = "Shift+F12",
         .availability = WithActiveDocument | OffOverEmptyArea, .onDocument = &D::findUsages},
        {.row = Row::Item, .name = "mnuRename", .caption = "Re&name...", .shortcut = "F2",
         .availability = WithActiveDocument | OffOverEmptyArea, .onDocument = &D::renameSymbol},
        {.row = Row::Separator, .name = "sep9"},
        {.row = Row::Item, .name = "mnuFormatDocument", .caption = "F&ormat Document", .shortcut = "Ctrl+Shift+F",
         .availability = WithActiveDocument | OffOverEmptyArea, .onDocument = &D::formatDocument},
        {.row = Row::Item, .name = "mnuFormatSelection", .caption = "Format Se&lection",
         .availability = WithActiveDocument | OffOverEmptyArea, .onDocument = &D::formatSelection},

        {.row = Row::Menu, .name = "mnuView", .caption = "&View"},
        {.row = Row::Item, .name = "mnuPreview", .caption = "&Preview HTML In Browser", .icon = "preview", .iconInMenu = false,
         .availability = WithActiveDocument | OffOverEmptyArea, .toolbarSlot = 14, .toolbarKey = "Preview",
         .tooltip = "Preview HTML In Browser", .onMain = &M::cmdPreview},

        {.row = Row::Item, .name = "mnuLivePreview", .caption = "&Live Preview", .shortcut = "Ctrl+Shift+P", .checkable = true,
         .onMain = &M::cmdLivePreview},
        {.row = Row::Item, .name = "mnuLineNumbers", .caption = "Line &Numbers", .checkable = true, .onMain = &M::cmdLineNumbers},
        {.row = Row::Item, .name = "mnuProblems", .caption = "P&roblems", .checkable = true,
         .availability = WithActiveDocument | OffOverEmptyArea, .onMain = &M::cmdProblems},
        {.row = Row::Item, .name = "mnuParameters", .caption = "P&arameters", .checkable = true,
         .availability = WithActiveDocument | OffOverEmptyArea, .onMain = &M::cmdParameters},
        {.row = Row::Item, .name = "mnuOutline", .caption = "&Outline", .shortcut = "Ctrl+Shift+O", .checkable = true,
         .availability = WithActiveDocument | OffOverEmptyArea, .onMain = &M::cmdOutline},
        {.row = Row::Item, .name = "mnuTrace", .caption = "&Trace", .checkable = true,
         .availability = WithActiveDocument | OffOverEmptyArea, .onMain = &M::cmdTrace},
        {.row = Row::Item, .name = "mnuProfile", .caption = "Pro&file", .checkable = true,
         .availability = WithActiveDocument | OffOverEmptyArea, .onMain = &M::cmdProfile},
        {.row = Row::Item, .name = "mnuInspect", .caption = "&Inspect Output", .shortcut = "Ctrl+Shift+I",
         .availability = WithActiveDocument | OffOverEmptyArea, .onDocument = &D::toggleInspect},
        {.row = Row::Item, .name = "mnuShowOutput", .caption = "Show O&utput", .shortcut = "Ctrl+Shift+L",
         .availability = WithActiveDocument | OffOverEmptyArea, .onDocument = &D::showOutput},
        {.row = Row::Item, .name = "mnuXPath", .caption = "&XPath", .shortcut = "Ctrl+Shift+X",
         .availability = WithActiveDocument | OffOverEmptyArea, .onDocument = &D::showXPathBar},

        {.row = Row::Menu, .name = "mnuTools", .caption = "&Tools"},
        {.row = Row::Item, .name = "mnuValidateSource", .caption = "&Validate Source...",
         .availability = WithActiveDocument | OffOverEmptyArea, .onDocument = &D::validateSource},
        {.row = Row::Separator, .name = "sep10"},
        {.row = Row::Item, .name = "mnuOptions", .caption = "&Options...", .onMain = &M::showOptions},

        {.row = Row::Menu, .name = "mnuWindow", .caption = "&Window"},
        {.row = Row::Item, .name = "mnuTileH", .caption = "Tile &Horizontally", .onMain = &M::cmdTileHorizontally},
        {.row = Row::Item, .name = "mnuTileV", .caption = "Tile &Vertically", .onMain = &M::cmdTileVertically},
        {.row = Row::Item, .name = "mnuCascade", .caption = "&Cascade", .onMain = &M::cmdCascade},
        {.row = Row::Item, .name = "mnuArrange", .caption = "&Arrange Icons", .onMain = &M::cmdArrangeIcons},

        {.row = Row::Menu, .name = "mnuHelp", .caption = "&Help"},
        {.row = Row::Item, .name = "mnuHelpContents", .caption = "&Contents", .shortcut = "F1", .icon = "help",
         .toolbarSlot = 16, .toolbarKey = "Help", .tooltip = "Help", .onMain = &M::showHelpContents},
        {.row = Row::Separator, .name = "sep6"},
        {.row = Row::Item, .name = "mnuFeedback", .caption = "&Feedback...", .onMain = &M::cmdFeedback},
        {.row = Row::Separator, .name = "sep8"},
        {.row = Row::Item, .name = "mnuAbout", .caption = "&About Zendrik", .onMain = &M::cmdAbout},
    };
    return table;
}

void MainWindow::buildCommands()
{
    QMenuBar *bar = menuBar();
    QMenu *menu = nullptr;
    QMenu *outer = nullptr;
    m_toolbar = addToolBar(QStringLiteral("Toolbar1"));
    m_toolbar->setObjectName(QStringLiteral("Toolbar1"));
    m_toolbar->setMovable(false);
    m_toolbar->setIconSize(QSize(16, 16));
    std::map<int, QAction *> toolbarSlots;

    for (const Command &c : commands()) {
        const QString name = QString::fromLatin1(c.name);
        QAction *action = nullptr;
        switch (c.row) {
        case Row::Menu:
            menu = bar->addMenu(QString::fromLatin1(c.caption));
            menu->setObjectName(name);
            action = menu->menuAction();
            break;
        case Row::Submenu:
            outer = menu;
            menu = outer->addMenu(QString::fromLatin1(c.caption));
            menu->setObjectName(name);
            action = menu->menuAction();
            break;
        case Row::EndSubmenu:
            menu = outer;
            continue;
        case Row::Separator:
            action = menu->addSeparator();
            break;
        case Row::Item:
            action = menu->addAction(QString::fromLatin1(c.caption));
            break;
        }
        action->setObjectName(name);
        m_items.insert(name, action);
        if (*c.shortcut)
            action->setShortcut(QKeySequence(QString::fromLatin1(c.shortcut)));
        if (*c.icon) {
            action->setIcon(iconFor(c.icon));
            action->setIconVisibleInMenu(c.iconInMenu);
        }
        action->setEnabled(c.availability == Always || c.availability == OffOverEmptyArea);
        action->setCheckable(c.checkable);
        if (c.onMain)
            connect(action, &QAction::triggered, this, c.onMain);
        if (c.onDocument) {
            const auto operation = c.onDocument;
            // A command on one document goes to the active document window, and does nothing
            // without one.
            connect(action, &QAction::triggered, this, [this, operation] {
                if (DocumentWindow *doc = activeDocument())
                    (doc->*operation)();
            });
        }
        if (c.toolbarSlot > 0) {
            action->setToolTip(QString::fromLatin1(c.tooltip));
            action->setProperty("Key", QString::fromLatin1(c.toolbarKey));
            toolbarSlots[c.toolbarSlot] = action;
        }
    }

    // The toolbar shows the menu items' own actions: one enabled state, one handler.
    int position = 1;
    for (const auto &[slot, action] : toolbarSlots) {
        for (; position < slot; ++position)
            m_toolbar->addSeparator();
        m_toolbar->addAction(action);
        m_toolbar->widgetForAction(action)->setObjectName(QStringLiteral("Toolbar1_") + action->property("Key").toString());
        ++position;
    }

    menuItem(QStringLiteral("mnuMRU"))->setVisible(false);
    m_mruItems << menuItem(QStringLiteral("mnuMRU"));
    m_windowMenu = menuItem(QStringLiteral("mnuWindow"))->menu();
    connect(m_windowMenu, &QMenu::aboutToShow, this, &MainWindow::rebuildWindowList);
    connect(menuItem(QStringLiteral("mnuEdit"))->menu(), &QMenu::aboutToShow, this, [this] {
        if (DocumentWindow *doc = activeDocument())
            doc->setEditState();
    });
}

void MainWindow::setAvailable(unsigned availability, bool on)
{
    for (const Command &c : commands())
        if (c.availability & availability)
            m_items.value(QString::fromLatin1(c.name))->setEnabled(on);
}

void MainWindow::applyEditState(const EditState &state)
{
    const std::pair<const char *, bool> items[] = {
        {"mnuCopy", state.copy}, {"mnuCut", state.cut},     {"mnuPaste", state.paste},   {"mnuUndo", state.undo},
        {"mnuRedo", state.redo}, {"mnuFind", state.find}, {"mnuReplace", state.replace}, {"mnuSelectAll", state.selectAll},
    };
    for (const auto &[name, on] : items)
        menuItem(QString::fromLatin1(name))->setEnabled(on);
}

void MainWindow::adopt(DocumentWindow *doc)
{
    doc->mainWindow = this;
    const QPointer<DocumentWindow> guarded(doc);
    connect(doc, &DocumentWindow::editStateChanged, this, [this, guarded](const EditState &state) {
        // Only the window the commands act on decides their state.
        const DocumentWindow *active = activeDocument();
        if (guarded && (!active || active == guarded))
            applyEditState(state);
    });
    connect(doc, &DocumentWindow::controlKeyChanged, this, [this](bool down) { controlKeyDown = down; });
    connect(doc, &DocumentWindow::closed, this, [this](int position) { removeFormFromArray(position); });
    doc->setLivePreview(menuItem(QStringLiteral("mnuLivePreview"))->isChecked());
    doc->setLineNumbers(menuItem(QStringLiteral("mnuLineNumbers"))->isChecked());
    connect(doc, &DocumentWindow::openReferenced, this, &MainWindow::openReferenced);
    // Queued: the drop's own event is over before the files load.
    connect(doc, &DocumentWindow::openRequested, this, &MainWindow::openSources, Qt::QueuedConnection);
    connect(doc, &DocumentWindow::problemsVisibilityChanged, this, [this, guarded](bool visible) {
        if (guarded && guarded == activeDocument())
            menuItem(QStringLiteral("mnuProblems"))->setChecked(visible);
    });
    connect(doc, &DocumentWindow::parametersVisibilityChanged, this, [this, guarded](bool visible) {
        if (guarded && guarded == activeDocument())
            menuItem(QStringLiteral("mnuParameters"))->setChecked(visible);
    });
    connect(doc, &DocumentWindow::outlineVisibilityChanged, this, [this, guarded](bool visible) {
        if (guarded && guarded == activeDocument())
            menuItem(QStringLiteral("mnuOutline"))->setChecked(visible);
    });
    connect(doc, &DocumentWindow::traceVisibilityChanged, this, [this, guarded](bool visible) {
        if (guarded && guarded == activeDocument())
            menuItem(QStringLiteral("mnuTrace"))->setChecked(visible);
    });
    connect(doc, &DocumentWindow::profileVisibilityChanged, this, [this, guarded](bool visible) {
        if (guarded && guarded == activeDocument())
            menuItem(QStringLiteral("mnuProfile"))->setChecked(visible);
    });
    // Navigation and renames across the stylesheets of the program's windows.
    connect(doc, &DocumentWindow::openDeclaration, this, [this](const QString &path, int line, int column, int length) {
        if (DocumentWindow *target = stylesheetWindow(path))
            target->selectInStylesheet(line, column, length);
    });
    doc->windowForFile = [this](const QString &path) { return stylesheetWindow(path); };
    // A module is read as part of an open stylesheet that includes it.
    doc->includerOf = [this, guarded](const QString &path) -> std::optional<QPair<QString, QByteArray>> {
        for (const QPointer<DocumentWindow> &other : documents())
            if (other && other != guarded && !other->fromUrl && !other->fileName().isEmpty()
                && other->insight()->model().files.indexOf(path) > 0)
                return qMakePair(QFileInfo(other->fileName()).absoluteFilePath(), other->stylesheetUtf8());
        return std::nullopt;
    };
    doc->unsavedStylesheets = [this] {
        QHash<QString, QByteArray> texts;
        for (const QPointer<DocumentWindow> &other : documents())
            if (other && other->isChanged() && !other->fileName().isEmpty() && !other->fromUrl)
                texts.insert(QFileInfo(other->fileName()).absoluteFilePath(), other->stylesheetUtf8());
        return texts;
    };
}

void MainWindow::openSources(const QStringList &sources)
{
    QPointer<DocumentWindow> last;
    for (const QString &given : sources) {
        if (given.trimmed().isEmpty())
            continue;
        QString source = given;
        QString path = source;
        if (source.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
            source = QUrl(source).toLocalFile();
            path = source;
        } else if (source.contains(QLatin1String("://"))) {
            path = QUrl(source).path();
        }
        if (!source.contains(QLatin1String("://")))
            source = QFileInfo(source).absoluteFilePath();
        const QString suffix = QFileInfo(path).suffix().toLower();
        if (suffix == QLatin1String("xsl") || suffix == QLatin1String("xslt")) {
            if (openXSLT(source))
                last = activeDocument();
            continue;
        }
        if (!last) {
            newDocument();
            last = activeDocument();
        }
        if (last && !last->refuseWhileBusy())
            last->loadXMLFile(source);
    }
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    if (!event->mimeData()->hasUrls())
        return;
    event->acceptProposedAction();
    QStringList sources;
    for (const QUrl &url : event->mimeData()->urls())
        sources << (url.isLocalFile() ? url.toLocalFile() : url.toString());
    // After the drop's own event: a load runs the event loop while it waits.
    QTimer::singleShot(0, this, [this, sources] { openSources(sources); });
}

void MainWindow::cmdOpenXSLTFile()
{
    openXSLT();
}

void MainWindow::cmdOpenXSLTURL()
{
    const QString answer = promptForURL(QStringLiteral("Enter the fully qualified URL to the XSLT file you would like to open."));
    if (!answer.trimmed().isEmpty())
        openXSLT(answer);
}

// The XML source goes into the window that was active when the user asked, if it still is
// and is not still busy with an earlier load; then there is nothing to ask.
void MainWindow::loadXmlInto(const std::function<QString()> &ask)
{
    const QPointer<DocumentWindow> doc = activeDocument();
    if (!doc || doc->refuseWhileBusy())
        return;
    const QString answer = ask();
    if (!answer.trimmed().isEmpty() && doc && doc == activeDocument())
        doc->loadXMLFile(answer);
}

void MainWindow::cmdOpenXMLFile()
{
    loadXmlInto([this] {
        return showFileDialog(m_commonDialog, QStringLiteral("Open XML..."), QStringLiteral("XML (*.xml)|*.xml|All Files|*"), 1);
    });
}

void MainWindow::cmdOpenXMLURL()
{
    loadXmlInto([] {
        return promptForURL(QStringLiteral("Enter the fully qualified URL to the XML file you would like to open."));
    });
}

void MainWindow::cmdSave()
{
    if (DocumentWindow *doc = activeDocument()) {
        bool cancel = false;
        doc->saveFile(cancel);
    }
}

void MainWindow::cmdSaveAs()
{
    const QPointer<DocumentWindow> doc = activeDocument();
    if (!doc)
        return;
    const QString answer = showFileDialog(m_commonDialog, QStringLiteral("Save XSLT As..."),
                                          QStringLiteral("XSLT (*.xsl;*.xslt)|*.xsl;*.xslt"), 2);
    if (!answer.trimmed().isEmpty() && doc && doc == activeDocument())
        doc->saveXSLTFile(answer);
}

void MainWindow::cmdSaveSource()
{
    if (DocumentWindow *doc = activeDocument())
        doc->saveSource(false);
}

void MainWindow::cmdSaveSourceAs()
{
    if (DocumentWindow *doc = activeDocument())
        doc->saveSource(true);
}

void MainWindow::cmdOpenFirstRecent()
{
    mruItemClicked(0);
}

void MainWindow::cmdExit()
{
    if (close())
        QCoreApplication::quit();
}

void MainWindow::cmdPaste()
{
    // While Ctrl is held in a document, Ctrl+V has been pasted by the editor itself.
    if (controlKeyDown)
        return;
    if (DocumentWindow *doc = activeDocument())
        doc->paste();
}

void MainWindow::cmdPreview()
{
    if (DocumentWindow *doc = activeDocument())
        doc->previewInBrowser();
}

void MainWindow::cmdLivePreview()
{
    const bool on = menuItem(QStringLiteral("mnuLivePreview"))->isChecked();
    try {
        SettingsStore::saveOption(Options::LivePreview, on ? QStringLiteral("1") : QStringLiteral("0"));
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()), QStringLiteral("Error Saving Options"));
    }
    for (const QPointer<DocumentWindow> &doc : documents())
        if (doc)
            doc->setLivePreview(on);
}

void MainWindow::cmdLineNumbers()
{
    const bool on = menuItem(QStringLiteral("mnuLineNumbers"))->isChecked();
    try {
        SettingsStore::saveOption(Options::LineNumbers, on ? QStringLiteral("1") : QStringLiteral("0"));
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()), QStringLiteral("Error Saving Options"));
    }
    for (const QPointer<DocumentWindow> &doc : documents())
        if (doc)
            doc->setLineNumbers(on);
}

void MainWindow::cmdProblems()
{
    if (DocumentWindow *doc = activeDocument())
        doc->setProblemsVisible(menuItem(QStringLiteral("mnuProblems"))->isChecked());
}

void MainWindow::cmdParameters()
{
    DocumentWindow *doc = activeDocument();
    if (!doc)
        return;
    const bool on = menuItem(QStringLiteral("mnuParameters"))->isChecked();
    doc->setParametersVisible(on);
    // Opened to find a parameter among hundreds: the filter is where the typing goes.
    if (on)
        doc->focusParameterFilter();
}

void MainWindow::cmdOutline()
{
    DocumentWindow *doc = activeDocument();
    if (!doc)
        return;
    const bool on = menuItem(QStringLiteral("mnuOutline"))->isChecked();
    doc->setOutlineVisible(on);
    if (on)
        doc->focusOutlineFilter();
}

void MainWindow::cmdTrace()
{
    if (DocumentWindow *doc = activeDocument())
        doc->setTraceVisible(menuItem(QStringLiteral("mnuTrace"))->isChecked());
}

void MainWindow::cmdProfile()
{
    if (DocumentWindow *doc = activeDocument())
        doc->setProfileVisible(menuItem(QStringLiteral("mnuProfile"))->isChecked());
}

DocumentWindow *MainWindow::stylesheetWindow(const QString &path)
{
    const QFileInfo wanted(path);
    for (const QPointer<DocumentWindow> &doc : documents())
        if (doc && !doc->fromUrl && !doc->fileName().isEmpty() && QFileInfo(doc->fileName()) == wanted) {
            if (auto *sub = qobject_cast<QMdiSubWindow *>(doc->parentWidget()))
                m_mdi->setActiveSubWindow(sub);
            return doc;
        }
    if (!wanted.isFile() || !openXSLT(wanted.absoluteFilePath()))
        return nullptr;
    return activeDocument();
}

void MainWindow::cmdGoToLine()
{
    const QPointer<DocumentWindow> doc = activeDocument();
    int current = 0;
    int lines = 0;
    if (!doc || !doc->caretLine(&current, &lines))
        return;
    const QString answer = dialogs().inputBox(this, QStringLiteral("Line number (1 to %1):").arg(lines),
                                              QStringLiteral("Go to Line"), QString::number(current));
    bool ok = false;
    const int line = answer.trimmed().toInt(&ok);
    if (ok && doc)
        doc->goToLine(line);
}

void MainWindow::openReferenced(const QString &path, int line)
{
    // Read-only: it is shown for the problem in it, not to be edited here.
    auto *doc = new DocumentWindow();
    if (!doc->loadXSLTFile(path)) {
        delete doc;
        return;
    }
    adopt(doc);
    doc->setStylesheetReadOnly(true);
    doc->setWindowTitle(path + QStringLiteral(" (read-only)"));
    showDocumentWindow(doc);
    addFormToArray(doc);
    doc->goToLine(line);
}

void MainWindow::cmdFeedback()
{
    browserLauncher().openUrl(QStringLiteral("mailto:") + QLatin1String(kFeedbackAddress));
}

void MainWindow::cmdAbout()
{
    dialogs().aboutBox(this, QStringLiteral("About Zendrik"),
                       QStringLiteral("<b>Zendrik</b> %1<br>An editor for XSLT stylesheets.")
                           .arg(versionText(ZENDRIK_VERSION_MAJOR, ZENDRIK_VERSION_MINOR, ZENDRIK_VERSION_PATCH)));
}

void MainWindow::cmdTileHorizontally() { arrangeWindows(1); }
void MainWindow::cmdTileVertically() { arrangeWindows(2); }
void MainWindow::cmdCascade() { arrangeWindows(0); }
void MainWindow::cmdArrangeIcons() { arrangeWindows(3); }

void MainWindow::showHelpContents()
{
    // Without the manual beside the program there is nothing to show, and nothing to say.
    if (!QFile::exists(m_helpFile))
        return;
    if (!m_helpWindow) {
        m_helpWindow = new QTextBrowser(this);
        m_helpWindow->setWindowFlag(Qt::Window);
        m_helpWindow->setObjectName(QStringLiteral("helpWindow"));
        m_helpWindow->setWindowTitle(QStringLiteral("Zendrik Help"));
        m_helpWindow->setOpenExternalLinks(true);
        m_helpWindow->resize(640, 560);
    }
    m_helpWindow->setSource(QUrl::fromLocalFile(m_helpFile));
    m_helpWindow->show();
    m_helpWindow->raise();
    m_helpWindow->activateWindow();
}

void MainWindow::arrangeWindows(int arrangement)
{
    QList<QMdiSubWindow *> open;
    for (QMdiSubWindow *w : m_mdi->subWindowList())
        if (!w->isMinimized())
            open << w;
    const QRect area = m_mdi->viewport()->rect();
    switch (arrangement) {
    case 0:
        m_mdi->cascadeSubWindows();
        break;
    case 1: // one above the other, each as wide as the area
    case 2: // side by side, each as high as the area
        for (int i = 0; i < open.size(); ++i) {
            QMdiSubWindow *w = open[i];
            w->showNormal();
            if (arrangement == 1) {
                const int h = area.height() / int(open.size());
                w->setGeometry(0, i * h, area.width(), h);
            } else {
                const int wd = area.width() / int(open.size());
                w->setGeometry(i * wd, 0, wd, area.height());
            }
        }
        break;
    case 3: { // minimised windows lined up along the bottom edge
        int x = 0;
        for (QMdiSubWindow *w : m_mdi->subWindowList()) {
            if (!w->isMinimized())
                continue;
            const QSize size = w->size();
            if (x + size.width() > area.width() && x > 0)
                x = 0;
            w->move(x, area.height() - size.height());
            x += size.width();
        }
        break;
    }
    default:
        break;
    }
}

bool MainWindow::openXSLT(const QString &path)
{
    QString source = path;
    if (source.isNull()) {
        const QString answer = showFileDialog(m_commonDialog, QStringLiteral("Open XSLT..."),
                                              QStringLiteral("XSLT (*.xsl;*.xslt)|*.xsl;*.xslt|All Files|*"), 1);
        if (answer.trimmed().isEmpty())
            return false;
        source = answer;
    }
    auto *doc = new DocumentWindow();
    // The window is not in the registry until it has loaded, so the close of the main window
    // learns of the load from this count instead.
    ++m_pendingLoads;
    const bool loaded = doc->loadXSLTFile(source);
    --m_pendingLoads;
    if (!loaded) {
        delete doc;
        return false;
    }
    adopt(doc);
    showDocumentWindow(doc);
    addFormToArray(doc);
    updateMRUList(source);
    setAvailable(WithDocument, true);
    return true;
}

void MainWindow::mruItemClicked(int index)
{
    if (index < 0 || index > lastRecentIndex)
        return;
    const QString path = mruPath(m_mruItems[index]);
    moveMRUItemToTop(path, index);
    openXSLT(path);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    // Document commands stay on after the last window closed until the pointer crosses the
    // empty background; then the ones that need a document go off.
    if (watched == m_mdi->viewport() && event->type() == QEvent::MouseMove && !activeDocument())
        setAvailable(OffOverEmptyArea, false);
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::rebuildWindowList()
{
    for (QAction *a : m_windowListActions) {
        m_windowMenu->removeAction(a);
        delete a;
    }
    m_windowListActions.clear();
    const QList<QMdiSubWindow *> wins = m_mdi->subWindowList();
    if (wins.isEmpty())
        return;
    QAction *sep = m_windowMenu->addSeparator();
    m_windowListActions << sep;
    QMdiSubWindow *active = m_mdi->activeSubWindow();
    for (int i = 0; i < wins.size(); ++i) {
        QMdiSubWindow *w = wins[i];
        QString title = w->windowTitle();
        title.replace(QLatin1Char('&'), QStringLiteral("&&"));
        QAction *a = m_windowMenu->addAction(i < 9 ? QStringLiteral("&%1 %2").arg(i + 1).arg(title) : title);
        a->setCheckable(true);
        a->setChecked(w == active);
        QPointer<QMdiSubWindow> target(w);
        connect(a, &QAction::triggered, this, [this, target] {
            if (target)
                m_mdi->setActiveSubWindow(target);
        });
        m_windowListActions << a;
    }
}

void MainWindow::toolbarButtonClick(const QString &key)
{
    // A key no button has does nothing; a separator has none.
    if (QAction *a = toolbarButton(key))
        a->trigger();
}

void MainWindow::buildStatusBar()
{
    QStatusBar *sb = statusBar();
    sb->setObjectName(QStringLiteral("StatusBar"));
    sb->setSizeGripEnabled(true);
    const char *names[] = {"sbrVersion", "sbrCaps", "sbrNum", "sbrTime"};
    for (int i = 0; i < 4; ++i) {
        m_panels[i] = new QLabel(this);
        m_panels[i]->setObjectName(QString::fromLatin1(names[i]));
        m_panels[i]->setContentsMargins(4, 0, 4, 0);
        if (i == 0)
            sb->addWidget(m_panels[i], 1);
        else
            sb->addPermanentWidget(m_panels[i]);
    }
    m_panels[1]->setText(QStringLiteral("CAPS"));
    m_panels[2]->setText(QStringLiteral("NUM"));
    updateLockPanels();
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &MainWindow::updateLockPanels);
    timer->start(500);
}

void MainWindow::updateLockPanels()
{
    // Qt has no portable query for the lock keys; on X11 ask the keyboard extension directly.
    using GetIndicatorState = int (*)(void *, unsigned int, unsigned int *);
    static GetIndicatorState getState = [] {
        return reinterpret_cast<GetIndicatorState>(QLibrary::resolve(QStringLiteral("X11"), 6, "XkbGetIndicatorState"));
    }();
    void *display = nullptr;
    if (auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>())
        display = x11->display();
    unsigned int state = 0;
    const bool known = getState && display && getState(display, 0x0100 /* XkbUseCoreKbd */, &state) == 0;
    m_panels[1]->setEnabled(known && (state & 1));
    m_panels[2]->setEnabled(known && (state & 2));
    m_panels[1]->setToolTip(known ? QString() : QStringLiteral("Caps Lock state not available on this display"));
    m_panels[2]->setToolTip(known ? QString() : QStringLiteral("Num Lock state not available on this display"));
}

QAction *MainWindow::menuItem(const QString &name) const
{
    return m_items.value(name);
}

QAction *MainWindow::toolbarButton(const QString &key) const
{
    if (key.isEmpty())
        return nullptr;
    for (QAction *a : m_toolbar->actions())
        if (!a->isSeparator() && a->property("Key").toString() == key)
            return a;
    return nullptr;
}

int MainWindow::buttonCount() const
{
    return int(m_toolbar->actions().size());
}

QString MainWindow::panelText(int index) const
{
    return index >= 1 && index <= 4 ? m_panels[index - 1]->text() : QString();
}

DocumentWindow *MainWindow::activeDocument() const
{
    QMdiSubWindow *w = m_mdi->activeSubWindow();
    return w ? qobject_cast<DocumentWindow *>(w->widget()) : nullptr;
}

void MainWindow::onSubWindowActivated(QMdiSubWindow *window)
{
    if (!window)
        return;
    if (auto *doc = qobject_cast<DocumentWindow *>(window->widget())) {
        doc->setEditState();
        setAvailable(WithActiveDocument, true);
        menuItem(QStringLiteral("mnuProblems"))->setChecked(doc->problemsVisible());
        menuItem(QStringLiteral("mnuParameters"))->setChecked(doc->parametersVisible());
        menuItem(QStringLiteral("mnuOutline"))->setChecked(doc->outlineVisible());
        menuItem(QStringLiteral("mnuTrace"))->setChecked(doc->traceVisible());
        menuItem(QStringLiteral("mnuProfile"))->setChecked(doc->profileVisible());
    }
}

void MainWindow::applyOptions()
{
    try {
        const QString mode = SettingsStore::readOption(Options::StartupMode);
        EngineClient::shared().setMemoryLimitMb(SettingsConvert::toInt32(
            SettingsStore::readOption(Options::EngineMemoryMB, QString::number(EngineClient::defaultMemoryLimitMb())),
            Options::EngineMemoryMB.key()));
        if (starting) {
            menuItem(QStringLiteral("mnuLineNumbers"))
                ->setChecked(SettingsConvert::toBoolean(SettingsStore::readOption(Options::LineNumbers), Options::LineNumbers.key()));
            menuItem(QStringLiteral("mnuLivePreview"))
                ->setChecked(SettingsConvert::toBoolean(SettingsStore::readOption(Options::LivePreview), Options::LivePreview.key()));
            const QString upper = mode.toUpper();
            if (upper == QLatin1String("NORMAL"))
                setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen));
            else if (upper == QLatin1String("MAXIMIZED"))
                setWindowState((windowState() & ~(Qt::WindowMinimized | Qt::WindowFullScreen)) | Qt::WindowMaximized);
            return;
        }
        // A changed start-up mode only takes effect at the next start.
        setChildWindowFonts();
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()), QStringLiteral("Error Loading Options"));
    }
}

void MainWindow::newDocument()
{
    auto *doc = new DocumentWindow();
    adopt(doc);
    doc->setupNewDoc();
    showDocumentWindow(doc);
    addFormToArray(doc);
    setAvailable(WithDocument, true);
}

void MainWindow::restoreUnsavedWork()
{
    // What saves cut short by a crash left beside the user's files goes first.
    FileIO::removeLeftoverTemporaries();
    RecoveryStore &store = recoveryStore();
    // Claimed before the question is asked: another start meanwhile neither offers nor
    // deletes them, and they are free again should this program end before it is answered.
    const QList<RecoveryStore::Entry> kept = store.claimOrphans();
    if (kept.isEmpty()) {
        store.discardOrphans();
        return;
    }
    const QString question = kept.size() == 1
                                 ? QStringLiteral("Zendrik closed unexpectedly. Restore 1 unsaved document?")
                                 : QStringLiteral("Zendrik closed unexpectedly. Restore %1 unsaved documents?").arg(kept.size());
    const auto answer = dialogs().messageBox(this, question, QMessageBox::Question, QMessageBox::Yes | QMessageBox::No,
                                             QStringLiteral("Zendrik"));
    if (answer == QMessageBox::Yes) {
        for (const RecoveryStore::Entry &e : kept) {
            auto *doc = new DocumentWindow();
            adopt(doc);
            doc->restoreUnsaved(e);
            showDocumentWindow(doc);
            addFormToArray(doc);
        }
        setAvailable(WithDocument, true);
    }
    store.discardOrphans();
}

void MainWindow::showDocumentWindow(DocumentWindow *doc)
{
    // New windows cascade from the top left, each a step further, and start in the editor.
    const int step = 26;
    const int k = m_mdi->subWindowList().size() % 8;
    const QSize area = m_mdi->viewport()->size();
    QMdiSubWindow *sub = m_mdi->addSubWindow(doc);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->setWindowIcon(QIcon(QStringLiteral(":/icons/new.svg")));
    const int w = std::max(420, area.width() * 3 / 4);
    const int h = std::max(320, area.height() * 3 / 4);
    sub->setGeometry(k * step, k * step, w, h);
    sub->show();
    doc->focusStylesheet();
}

void MainWindow::addFormToArray(DocumentWindow *form)
{
    try {
        const qsizetype position = m_documents.size();
        if (position > std::numeric_limits<short>::max())
            throw std::overflow_error("No more than 32768 document windows can be open at once.");
        m_documents.append(QPointer<DocumentWindow>(form));
        form->registryIndex = static_cast<short>(position);
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()), QStringLiteral("Error Adding Form to Array"));
    }
}

void MainWindow::removeFormFromArray(int index)
{
    try {
        QList<QPointer<DocumentWindow>> kept;
        kept.reserve(m_documents.size());
        for (int i = 0; i < m_documents.size(); ++i)
            if (i != index)
                kept.append(m_documents[i]);
        if (kept.size() == m_documents.size())
            return; // no element at that position
        m_documents = kept;
        for (int i = index; i < m_documents.size(); ++i)
            if (m_documents[i])
                m_documents[i]->registryIndex = static_cast<short>(i);
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()), QStringLiteral("Error removing form from array"));
    }
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Every document is asked first; one Cancel keeps everything open.
    const QList<QMdiSubWindow *> wins = m_mdi->subWindowList();
    QList<DocumentWindow *> docs;
    for (QMdiSubWindow *w : wins)
        if (auto *doc = qobject_cast<DocumentWindow *>(w->widget()))
            docs << doc;
    // A window still loading or previewing cannot go yet: its load is waiting further down
    // the call stack and would come back to a destroyed window.
    bool busy = m_pendingLoads > 0;
    for (DocumentWindow *doc : docs)
        busy = busy || doc->isBusy();
    if (busy) {
        statusBar()->showMessage(QStringLiteral("Zendrik cannot close while a document is loading or "
                                                "previewing; try again when it has finished."),
                                 8000);
        event->ignore();
        return;
    }
    for (DocumentWindow *doc : docs) {
        bool cancel = false;
        doc->queryUnload(cancel);
        if (cancel) {
            for (DocumentWindow *d : docs)
                d->setCloseApproved(false);
            event->ignore();
            return;
        }
        doc->setCloseApproved(true);
    }
    saveOpenWindows();
    for (QMdiSubWindow *w : wins)
        w->close();
    unload();
    event->accept();
}

void MainWindow::saveOpenWindows()
{
    const QString section = QString::fromLatin1(SettingsStore::SessionSection);
    try {
        bool reopen = false;
        try {
            reopen = SettingsConvert::toBoolean(SettingsStore::readOption(Options::ReopenWindows), Options::ReopenWindows.key());
        } catch (const SettingsError &) {
            // An unreadable setting is no request to reopen anything.
        }
        QList<std::pair<QString, QString>> values;
        int n = 0;
        for (const QPointer<DocumentWindow> &doc : m_documents) {
            // Windows with a file of their own; not those only shown for a problem in them.
            if (!doc || doc->fileName().isEmpty() || doc->isStylesheetReadOnly() || !reopen)
                continue;
            values.append({QStringLiteral("Window%1").arg(n), doc->fileName()});
            if (!doc->sourceFileName().isEmpty())
                values.append({QStringLiteral("Source%1").arg(n), doc->sourceFileName()});
            ++n;
        }
        // Nothing to note and nothing noted: the store is not touched.
        if (!values.isEmpty() || !SettingsStore::keys(section).isEmpty())
            SettingsStore::replaceSection(section, values);
    } catch (const std::exception &) {
        // A convenience: a store that cannot be written must not stop the program from closing.
    }
}

void MainWindow::reopenWindows()
{
    const QString section = QString::fromLatin1(SettingsStore::SessionSection);
    try {
        if (!SettingsConvert::toBoolean(SettingsStore::readOption(Options::ReopenWindows), Options::ReopenWindows.key()))
            return;
    } catch (const SettingsError &) {
        return;
    }
    for (int n = 0;; ++n) {
        const QString file = SettingsStore::read(section, QStringLiteral("Window%1").arg(n), QString());
        if (file.isEmpty())
            break;
        // A window restored after a crash holds this file's newer text already.
        const bool restored = std::any_of(m_documents.cbegin(), m_documents.cend(),
                                          [&](const QPointer<DocumentWindow> &d) { return d && d->fileName() == file; });
        if (restored || !openXSLT(file))
            continue;
        const QString source = SettingsStore::read(section, QStringLiteral("Source%1").arg(n), QString());
        if (DocumentWindow *doc = m_documents.isEmpty() ? nullptr : m_documents.last().data(); doc && !source.isEmpty()) {
            doc->loadXMLFile(source);
            doc->showStylesheetPage();
        }
    }
}

void MainWindow::unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    saveMRUList();
    // Preview pages handed to the browser are no longer needed once the program ends.
    removeTempFilesAtExit();
}

QStringList MainWindow::mruList() const
{
    QStringList out;
    for (int i = 0; i <= lastRecentIndex && i < m_mruItems.size(); ++i)
        out << mruPath(m_mruItems[i]);
    return out;
}

int MainWindow::findMRUItem(const QString &path) const
{
    const QString upper = path.toUpper();
    for (int i = 0; i <= lastRecentIndex; ++i)
        if (mruPath(m_mruItems[i]).toUpper() == upper)
            return i;
    return -1;
}

// An entry keeps its path as it is; its caption shows an "&" in the path instead of taking it
// for the mark of a shortcut letter.
QString MainWindow::mruPath(const QAction *entry)
{
    return entry->data().isValid() ? entry->data().toString() : entry->text();
}

void MainWindow::setMRUEntry(QAction *entry, const QString &path)
{
    entry->setData(path);
    entry->setText(QString(path).replace(QLatin1Char('&'), QStringLiteral("&&")));
}

void MainWindow::addMRUItem(const QString &path)
{
    if (lastRecentIndex < 3) {
        ++lastRecentIndex;
        if (lastRecentIndex > 0) {
            QAction *entry = new QAction(this);
            entry->setObjectName(QStringLiteral("mnuMRU_%1").arg(lastRecentIndex));
            const int index = lastRecentIndex;
            connect(entry, &QAction::triggered, this, [this, index] { mruItemClicked(index); });
            menuItem(QStringLiteral("mnuFile"))->menu()->insertAction(menuItem(QStringLiteral("sep7")), entry);
            m_mruItems << entry;
        }
        m_mruItems[lastRecentIndex]->setVisible(true);
    }
    for (int i = lastRecentIndex; i >= 1; --i)
        setMRUEntry(m_mruItems[i], mruPath(m_mruItems[i - 1]));
    setMRUEntry(m_mruItems[0], path);
}

void MainWindow::moveMRUItemToTop(const QString &path, int index)
{
    for (int i = index; i >= 1; --i)
        setMRUEntry(m_mruItems[i], mruPath(m_mruItems[i - 1]));
    setMRUEntry(m_mruItems[0], path);
}

void MainWindow::updateMRUList(const QString &path)
{
    const int index = findMRUItem(path);
    if (index == -1)
        addMRUItem(path);
    else
        moveMRUItemToTop(path, index);
}

void MainWindow::loadMRUList()
{
    const QString section = QString::fromLatin1(SettingsStore::MRUSection);
    QStringList stored;
    for (int i = 0;; ++i) {
        const QString value = SettingsStore::read(section, QString::number(i), QString());
        if (value.isEmpty())
            break;
        stored << value;
    }
    for (int i = stored.size() - 1; i >= 0; --i)
        updateMRUList(stored[i]);
}

void MainWindow::saveMRUList()
{
    try {
        for (int i = 0; i <= lastRecentIndex; ++i)
            SettingsStore::save(QString::fromLatin1(SettingsStore::MRUSection), QString::number(i), mruPath(m_mruItems[i]));
    } catch (const std::exception &) {
        // The list is a convenience; a store that cannot be written must not stop the program
        // from closing.
    }
}

void MainWindow::showOptions()
{
    auto dialog = std::make_unique<OptionsDialog>(this);
    dialog->exec();
    const bool canceled = dialog->cancelled;
    // Gone before anything is applied, so an error box raised while applying has the main
    // window, not a closed dialog, as its owner.
    dialog.reset();
    if (!canceled)
        applyOptions();
}

void MainWindow::setChildWindowFonts()
{
    using namespace Options;
    auto flag = [](const Key &key) { return SettingsConvert::toBoolean(SettingsStore::readOption(key), key.key()); };
    try {
        for (const QPointer<DocumentWindow> &doc : documents()) {
            if (!doc)
                continue;
            doc->applyEditorOptions();
            doc->setAutoParse(flag(AutoParse));
            doc->setRunPreviewScripts(flag(RunPreviewScripts));
            doc->setKeepAsWritten(flag(KeepAsWritten));
            doc->setProcessorChoice(SettingsStore::readOption(XsltProcessor));
        }
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()), QStringLiteral("Error Child Window Fonts"));
    }
}
