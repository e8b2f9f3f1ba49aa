#include "app/frmmdimain.h"

#include "common/common.h"
#include "document/frmeditor.h"
#include "engine/recoverystore.h"
#include "options/settingsstore.h"
#include "platform/browserlauncher.h"

#include <QApplication>
#include <QCloseEvent>
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
#include <limits>
#include <stdexcept>

namespace {

// Toolbar entries in order; an empty key is a separator.
struct ToolbarEntry {
    const char *key;
    const char *tooltip;
    const char *icon;
};
constexpr ToolbarEntry kToolbar[] = {
    {"New", "New XSLT File", "new"},       {"Open", "Open XSLT File", "open"}, {"Save", "Save XSLT File", "save"},
    {"Print", "Print", "print"},           {"", "", ""},                        {"Cut", "Cut", "cut"},
    {"Copy", "Copy", "copy"},              {"Paste", "Paste", "paste"},         {"Find", "Find", "find"},
    {"", "", ""},                          {"Undo", "Undo", "undo"},            {"Redo", "Redo", "redo"},
    {"", "", ""},                          {"Preview", "Preview HTML In Browser", "preview"},
    {"", "", ""},                          {"Help", "Help", "help"},
};

// Where Help > Feedback writes to.
constexpr const char *kFeedbackAddress = "feedback@zendrik.org";

// Pictures beside menu items, by position of the item within its menu.
struct MenuIcon {
    int menu;
    int item;
    const char *icon;
};
constexpr MenuIcon kMenuIcons[] = {
    {0, 0, "new"},  {0, 1, "open"}, {0, 4, "save"},  {0, 7, "print"}, {1, 0, "undo"},  {1, 1, "redo"},
    {1, 2, "cut"},  {1, 3, "copy"}, {1, 4, "paste"}, {1, 7, "find"},  {5, 0, "help"},
};

QIcon iconFor(const char *name)
{
    const QString path = QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name));
    return QFile::exists(path) ? QIcon(path) : QIcon();
}

} // namespace

frmMDIMain::frmMDIMain(QWidget *parent)
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
    connect(m_mdi, &QMdiArea::subWindowActivated, this, &frmMDIMain::onSubWindowActivated);
    // A Ctrl released while another program has the focus never reaches a document window;
    // without this the Paste command would stay dead until Ctrl is pressed here again.
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state != Qt::ApplicationActive)
            blnControlKey = false;
    });
    m_mdi->viewport()->setMouseTracking(true);
    m_mdi->viewport()->installEventFilter(this);

    buildMenus();
    connectCommands();
    buildToolbar();
    buildStatusBar();

    // Start-up, in this order.
    blnStarting = true;
    m_helpFile = QCoreApplication::applicationDirPath() + QStringLiteral("/ZendrikHelp.html");
    setMenuIcons();
    m_panels[0]->setText(versionText(ZENDRIK_VERSION_MAJOR, ZENDRIK_VERSION_MINOR, ZENDRIK_VERSION_PATCH));
    m_panels[3]->setText(startTimeText(QDateTime::currentDateTime(), QLocale::system()));
    m_documents.clear();
    applyOptions();
    intLastMRU = -1;
    loadMRUList();
    blnStarting = false;
}

frmMDIMain::~frmMDIMain()
{
    unload();
    // Document windows are destroyed after this object's members; they must not reach back.
    disconnect(m_mdi, nullptr, this, nullptr);
    for (const QPointer<frmEditor> &doc : m_documents)
        if (doc)
            doc->frmParent = nullptr;
}

QString frmMDIMain::versionText(int major, int minor, int revision)
{
    return QStringLiteral("v%1.%2.%3").arg(major).arg(minor).arg(revision);
}

QString frmMDIMain::startTimeText(const QDateTime &when, const QLocale &locale)
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

QAction *frmMDIMain::addItem(QMenu *menu, const QString &name, const QString &caption, const QKeySequence &key)
{
    QAction *a = menu->addAction(caption);
    a->setObjectName(name);
    if (!key.isEmpty())
        a->setShortcut(key);
    m_items.insert(name, a);
    return a;
}

void frmMDIMain::buildMenus()
{
    QMenuBar *bar = menuBar();
    auto topMenu = [&](const QString &name, const QString &caption) {
        QMenu *m = bar->addMenu(caption);
        m->setObjectName(name);
        m->menuAction()->setObjectName(name);
        m_items.insert(name, m->menuAction());
        return m;
    };
    auto subMenu = [&](QMenu *parentMenu, const QString &name, const QString &caption) {
        QMenu *m = parentMenu->addMenu(caption);
        m->setObjectName(name);
        m->menuAction()->setObjectName(name);
        m_items.insert(name, m->menuAction());
        return m;
    };
    auto separator = [&](QMenu *menu, const QString &name) {
        QAction *s = menu->addSeparator();
        s->setObjectName(name);
        m_items.insert(name, s);
    };

    QMenu *file = topMenu(QStringLiteral("mnuFile"), QStringLiteral("&File"));
    addItem(file, QStringLiteral("mnuNew"), QStringLiteral("&New..."), QKeySequence(QStringLiteral("Ctrl+N")));
    QMenu *open = subMenu(file, QStringLiteral("mnuOpen"), QStringLiteral("&Open XSLT"));
    addItem(open, QStringLiteral("mnuOpenXSLTFile"), QStringLiteral("from &File..."), QKeySequence(QStringLiteral("Ctrl+O")));
    addItem(open, QStringLiteral("mnuOpenXSLTURL"), QStringLiteral("from &URL..."));
    QMenu *openXml = subMenu(file, QStringLiteral("mnuOpenXML"), QStringLiteral("Open XM&L"));
    addItem(openXml, QStringLiteral("mnuOpenXMLFile"), QStringLiteral("from &File..."));
    addItem(openXml, QStringLiteral("mnuOpenXMLURL"), QStringLiteral("from &URL..."));
    openXml->menuAction()->setEnabled(false);
    separator(file, QStringLiteral("sep1"));
    addItem(file, QStringLiteral("mnuSave"), QStringLiteral("Save..."), QKeySequence(QStringLiteral("Ctrl+S")))->setEnabled(false);
    addItem(file, QStringLiteral("mnuSaveAs"), QStringLiteral("Save &As..."))->setEnabled(false);
    separator(file, QStringLiteral("sep2"));
    addItem(file, QStringLiteral("mnuPrint"), QStringLiteral("&Print..."), QKeySequence(QStringLiteral("Ctrl+P")))->setEnabled(false);
    separator(file, QStringLiteral("sep3"));
    QAction *mru = addItem(file, QStringLiteral("mnuMRU"), QStringLiteral("MRU File List"));
    mru->setVisible(false);
    connect(mru, &QAction::triggered, this, [this] { mruItemClicked(0); });
    m_mruItems << mru;
    separator(file, QStringLiteral("sep7"));
    addItem(file, QStringLiteral("mnuExit"), QStringLiteral("E&xit"));

    QMenu *edit = topMenu(QStringLiteral("mnuEdit"), QStringLiteral("&Edit"));
    addItem(edit, QStringLiteral("mnuUndo"), QStringLiteral("&Undo"), QKeySequence(QStringLiteral("Ctrl+Z")));
    addItem(edit, QStringLiteral("mnuRedo"), QStringLiteral("&Redo"));
    addItem(edit, QStringLiteral("mnuCut"), QStringLiteral("Cu&t"), QKeySequence(QStringLiteral("Ctrl+X")));
    addItem(edit, QStringLiteral("mnuCopy"), QStringLiteral("&Copy"), QKeySequence(QStringLiteral("Ctrl+C")));
    addItem(edit, QStringLiteral("mnuPaste"), QStringLiteral("&Paste"), QKeySequence(QStringLiteral("Ctrl+V")));
    addItem(edit, QStringLiteral("mnuSelectAll"), QStringLiteral("Select &All"), QKeySequence(QStringLiteral("Ctrl+A")));
    separator(edit, QStringLiteral("sep4"));
    addItem(edit, QStringLiteral("mnuFind"), QStringLiteral("&Find"), QKeySequence(QStringLiteral("Ctrl+F")));
    addItem(edit, QStringLiteral("mnuReplace"), QStringLiteral("R&eplace..."), QKeySequence(QStringLiteral("Ctrl+H")));
    for (QAction *a : edit->actions())
        a->setEnabled(false);
    connect(edit, &QMenu::aboutToShow, this, [this] {
        if (frmEditor *doc = activeDocument())
            doc->setEditState();
    });

    QMenu *view = topMenu(QStringLiteral("mnuView"), QStringLiteral("&View"));
    addItem(view, QStringLiteral("mnuPreview"), QStringLiteral("&Preview HTML In Browser"))->setEnabled(false);

    QMenu *tools = topMenu(QStringLiteral("mnuTools"), QStringLiteral("&Tools"));
    addItem(tools, QStringLiteral("mnuOptions"), QStringLiteral("&Options..."));

    m_windowMenu = topMenu(QStringLiteral("mnuWindow"), QStringLiteral("&Window"));
    addItem(m_windowMenu, QStringLiteral("mnuTileH"), QStringLiteral("Tile &Horizontially"));
    addItem(m_windowMenu, QStringLiteral("mnuTileV"), QStringLiteral("Tile &Vertically"));
    addItem(m_windowMenu, QStringLiteral("mnuCascade"), QStringLiteral("&Cascade"));
    addItem(m_windowMenu, QStringLiteral("mnuArrange"), QStringLiteral("&Arrange Icons"));
    connect(m_windowMenu, &QMenu::aboutToShow, this, &frmMDIMain::rebuildWindowList);

    QMenu *help = topMenu(QStringLiteral("mnuHelp"), QStringLiteral("&Help"));
    addItem(help, QStringLiteral("mnuHelpContents"), QStringLiteral("&Contents"), QKeySequence(QStringLiteral("F1")));
    separator(help, QStringLiteral("sep6"));
    addItem(help, QStringLiteral("mnuFeedback"), QStringLiteral("&Feedback..."));
    separator(help, QStringLiteral("sep8"));
    addItem(help, QStringLiteral("mnuAbout"), QStringLiteral("&About Zendrik"));
}

void frmMDIMain::connectCommands()
{
    auto on = [this](const char *name, auto handler) {
        connect(menuItem(QString::fromLatin1(name)), &QAction::triggered, this, handler);
    };
    // Commands on one document go to the active document window, and do nothing without one.
    auto onDocument = [this, on](const char *name, void (frmEditor::*operation)()) {
        on(name, [this, operation] {
            if (frmEditor *doc = activeDocument())
                (doc->*operation)();
        });
    };
    on("mnuNew", [this] { newDocument(); });
    on("mnuOpenXSLTFile", [this] { openXSLT(); });
    on("mnuOpenXSLTURL", [this] {
        const QString answer =
            promptForURL(QStringLiteral("Enter the fully qualified URL to the XSLT file you would like to open."));
        if (!answer.trimmed().isEmpty())
            openXSLT(answer);
    });
    // The XML source goes into the window that was active when the user asked, if it still is
    // and is not still busy with an earlier load; then there is nothing to ask.
    auto loadXml = [this](auto ask) {
        const QPointer<frmEditor> doc = activeDocument();
        if (!doc || doc->refuseWhileBusy())
            return;
        const QString answer = ask();
        if (!answer.trimmed().isEmpty() && doc && doc == activeDocument())
            doc->loadXMLFile(answer);
    };
    on("mnuOpenXMLFile", [this, loadXml] {
        loadXml([this] {
            return showFileDialog(m_commonDialog, QStringLiteral("Open XML..."),
                                  QStringLiteral("XML (*.xml)|*.xml|All Files|*.*"), 1);
        });
    });
    on("mnuOpenXMLURL", [loadXml] {
        loadXml([] {
            return promptForURL(QStringLiteral("Enter the fully qualified URL to the XML file you would like to open."));
        });
    });
    on("mnuSave", [this] {
        if (frmEditor *doc = activeDocument()) {
            bool cancel = false;
            doc->saveFile(cancel);
        }
    });
    on("mnuSaveAs", [this] {
        const QPointer<frmEditor> doc = activeDocument();
        if (!doc)
            return;
        const QString answer = showFileDialog(m_commonDialog, QStringLiteral("Save XSLT As..."),
                                              QStringLiteral("XSLT (*.xsl;*.xslt)|*.xsl;*.xslt"), 2);
        if (!answer.trimmed().isEmpty() && doc && doc == activeDocument())
            doc->saveXSLTFile(answer);
    });
    onDocument("mnuPrint", &frmEditor::printDoc);
    on("mnuExit", [this] {
        if (close())
            QCoreApplication::quit();
    });
    onDocument("mnuUndo", &frmEditor::Undo);
    onDocument("mnuRedo", &frmEditor::Redo);
    onDocument("mnuCut", &frmEditor::Cut);
    onDocument("mnuCopy", &frmEditor::Copy);
    on("mnuPaste", [this] {
        // While Ctrl is held in a document, Ctrl+V has been pasted by the editor itself.
        if (blnControlKey)
            return;
        if (frmEditor *doc = activeDocument())
            doc->Paste();
    });
    onDocument("mnuSelectAll", &frmEditor::selectAll);
    onDocument("mnuFind", &frmEditor::showFindDialog);
    onDocument("mnuReplace", &frmEditor::showReplaceDialog);
    on("mnuOptions", [this] { showOptions(); });
    on("mnuPreview", [this] {
        if (frmEditor *doc = activeDocument())
            doc->previewInBrowser();
    });
    on("mnuHelpContents", [this] { showHelpContents(); });
    on("mnuFeedback", [] { browserLauncher().openUrl(QStringLiteral("mailto:") + QLatin1String(kFeedbackAddress)); });
    on("mnuAbout", [this] {
        dialogs().aboutBox(this, QStringLiteral("About Zendrik"),
                           QStringLiteral("<b>Zendrik</b> %1<br>An editor for XSLT stylesheets.")
                               .arg(versionText(ZENDRIK_VERSION_MAJOR, ZENDRIK_VERSION_MINOR, ZENDRIK_VERSION_PATCH)));
    });
    on("mnuTileH", [this] { arrangeWindows(1); });
    on("mnuTileV", [this] { arrangeWindows(2); });
    on("mnuCascade", [this] { arrangeWindows(0); });
    on("mnuArrange", [this] { arrangeWindows(3); });
}

void frmMDIMain::showHelpContents()
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

void frmMDIMain::arrangeWindows(int arrangement)
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

bool frmMDIMain::openXSLT(const QString &path)
{
    QString source = path;
    if (source.isNull()) {
        const QString answer = showFileDialog(m_commonDialog, QStringLiteral("Open XSLT..."),
                                              QStringLiteral("XSLT (*.xsl;*.xslt)|*.xsl;*.xslt|All Files|*.*"), 1);
        if (answer.trimmed().isEmpty())
            return false;
        source = answer;
    }
    auto *doc = new frmEditor();
    // The window is not in the registry until it has loaded, so the close of the main window
    // learns of the load from this count instead.
    ++m_pendingLoads;
    const bool loaded = doc->loadXSLTFile(source);
    --m_pendingLoads;
    if (!loaded) {
        delete doc;
        return false;
    }
    doc->frmParent = this;
    showDocumentWindow(doc);
    addFormToArray(doc);
    updateMRUList(source);
    menuItem(QStringLiteral("mnuOpenXML"))->setEnabled(true);
    menuItem(QStringLiteral("mnuSave"))->setEnabled(true);
    button(3)->setEnabled(true);
    menuItem(QStringLiteral("mnuSaveAs"))->setEnabled(true);
    return true;
}

void frmMDIMain::mruItemClicked(int index)
{
    if (index < 0 || index > intLastMRU)
        return;
    const QString path = m_mruItems[index]->text();
    moveMRUItemToTop(path, index);
    openXSLT(path);
}

bool frmMDIMain::eventFilter(QObject *watched, QEvent *event)
{
    // Document commands stay on after the last window closed until the pointer crosses the
    // empty background; then the ones that need a document go off.
    if (watched == m_mdi->viewport() && event->type() == QEvent::MouseMove && !activeDocument()) {
        const std::pair<const char *, int> off[] = {
            {"mnuCopy", 7}, {"mnuCut", 6}, {"mnuPaste", 8}, {"mnuUndo", 11}, {"mnuReplace", 9}, {"mnuFind", 0},
            {"mnuSelectAll", 0}, {"mnuPrint", 4}, {"mnuSave", 3}, {"mnuSaveAs", 0}, {"mnuPreview", 14}, {"mnuOpenXML", 0},
        };
        for (const auto &[name, index] : off) {
            menuItem(QString::fromLatin1(name))->setEnabled(false);
            if (index)
                button(index)->setEnabled(false);
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void frmMDIMain::rebuildWindowList()
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

void frmMDIMain::buildToolbar()
{
    m_toolbar = addToolBar(QStringLiteral("Toolbar"));
    m_toolbar->setObjectName(QStringLiteral("Toolbar1"));
    m_toolbar->setMovable(false);
    m_toolbar->setIconSize(QSize(16, 16));
    for (const ToolbarEntry &e : kToolbar) {
        const QString key = QString::fromLatin1(e.key);
        QAction *a = nullptr;
        if (key.isEmpty()) {
            a = m_toolbar->addSeparator();
        } else {
            a = m_toolbar->addAction(iconFor(e.icon), QString::fromLatin1(e.tooltip));
            a->setToolTip(QString::fromLatin1(e.tooltip));
            a->setObjectName(QStringLiteral("Toolbar1_") + key);
            connect(a, &QAction::triggered, this, [this, key] { toolbarButtonClick(key); });
        }
        a->setProperty("Key", key);
        m_buttons << a;
    }
    // Buttons whose commands need a document start disabled like their menu items.
    for (int i : {3, 4, 6, 7, 8, 9, 11, 12, 14})
        m_buttons[i - 1]->setEnabled(false);
}

void frmMDIMain::toolbarButtonClick(const QString &key)
{
    static const char *const order[] = {"New", "Open", "Save", "Print", "Cut", "Copy",
                                        "Paste", "Find", "Undo", "Redo", "Preview", "Help"};
    static const char *const items[] = {"mnuNew", "mnuOpenXSLTFile", "mnuSave", "mnuPrint", "mnuCut", "mnuCopy",
                                        "mnuPaste", "mnuFind", "mnuUndo", "mnuRedo", "mnuPreview", "mnuHelpContents"};
    for (size_t i = 0; i < std::size(order); ++i) {
        if (key == QLatin1String(order[i])) {
            try {
                if (QAction *a = menuItem(QString::fromLatin1(items[i])))
                    a->trigger();
            } catch (...) {
            }
            return;
        }
    }
}

void frmMDIMain::buildStatusBar()
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
    connect(timer, &QTimer::timeout, this, &frmMDIMain::updateLockPanels);
    timer->start(500);
}

void frmMDIMain::updateLockPanels()
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

void frmMDIMain::setMenuIcons()
{
    const QList<QAction *> top = menuBar()->actions();
    for (const MenuIcon &m : kMenuIcons) {
        if (m.menu >= top.size() || !top[m.menu]->menu())
            continue;
        const QList<QAction *> items = top[m.menu]->menu()->actions();
        if (m.item < items.size())
            items[m.item]->setIcon(iconFor(m.icon));
    }
}

QAction *frmMDIMain::menuItem(const QString &name) const
{
    return m_items.value(name);
}

QAction *frmMDIMain::button(int index) const
{
    return index >= 1 && index <= m_buttons.size() ? m_buttons[index - 1] : nullptr;
}

int frmMDIMain::buttonCount() const
{
    return m_buttons.size();
}

QString frmMDIMain::panelText(int index) const
{
    return index >= 1 && index <= 4 ? m_panels[index - 1]->text() : QString();
}

frmEditor *frmMDIMain::activeDocument() const
{
    QMdiSubWindow *w = m_mdi->activeSubWindow();
    return w ? qobject_cast<frmEditor *>(w->widget()) : nullptr;
}

void frmMDIMain::onSubWindowActivated(QMdiSubWindow *window)
{
    if (!window)
        return;
    if (auto *doc = qobject_cast<frmEditor *>(window->widget()))
        doc->activate();
}

void frmMDIMain::applyOptions()
{
    try {
        const QString mode = SettingsStore::read(QString::fromLatin1(SettingsStore::OptionsSection),
                                                 QStringLiteral("StartupMode"), QStringLiteral("Normal"));
        if (blnStarting) {
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

void frmMDIMain::newDocument()
{
    auto *doc = new frmEditor();
    doc->frmParent = this;
    doc->txtXSLT->ColorizeAll();
    doc->setupNewDoc();
    showDocumentWindow(doc);
    addFormToArray(doc);
    menuItem(QStringLiteral("mnuOpenXML"))->setEnabled(true);
    menuItem(QStringLiteral("mnuSave"))->setEnabled(true);
    menuItem(QStringLiteral("mnuSaveAs"))->setEnabled(true);
    button(3)->setEnabled(true);
}

void frmMDIMain::restoreUnsavedWork()
{
    RecoveryStore &store = recoveryStore();
    const QList<RecoveryStore::Entry> kept = store.orphans();
    if (kept.isEmpty()) {
        store.discardOrphans();
        return;
    }
    const QString question = kept.size() == 1
                                 ? QStringLiteral("Zendrik closed unexpectedly. Restore 1 unsaved document?")
                                 : QStringLiteral("Zendrik closed unexpectedly. Restore %1 unsaved documents?").arg(kept.size());
    const int answer = dialogs().messageBox(this, question, msg::YesNo | msg::Question, QStringLiteral("Zendrik"));
    if (answer == msg::Yes) {
        for (const RecoveryStore::Entry &e : kept) {
            auto *doc = new frmEditor();
            doc->frmParent = this;
            doc->restoreUnsaved(e.text, e.fileName);
            showDocumentWindow(doc);
            addFormToArray(doc);
        }
        menuItem(QStringLiteral("mnuOpenXML"))->setEnabled(true);
        menuItem(QStringLiteral("mnuSave"))->setEnabled(true);
        menuItem(QStringLiteral("mnuSaveAs"))->setEnabled(true);
        button(3)->setEnabled(true);
    }
    store.discardOrphans();
}

void frmMDIMain::showDocumentWindow(frmEditor *doc)
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
    doc->txtXSLT->setFocus();
}

void frmMDIMain::addFormToArray(frmEditor *form)
{
    try {
        const qsizetype position = m_documents.size();
        if (position > std::numeric_limits<short>::max())
            throw std::overflow_error("No more than 32768 document windows can be open at once.");
        m_documents.append(QPointer<frmEditor>(form));
        form->intArrayElem = static_cast<short>(position);
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()), QStringLiteral("Error Adding Form to Array"));
    }
}

void frmMDIMain::removeFormFromArray(int intElem)
{
    try {
        QList<QPointer<frmEditor>> kept;
        kept.reserve(m_documents.size());
        for (int i = 0; i < m_documents.size(); ++i)
            if (i != intElem)
                kept.append(m_documents[i]);
        if (kept.size() == m_documents.size())
            return; // no element at that position
        m_documents = kept;
        for (int i = intElem; i < m_documents.size(); ++i)
            if (m_documents[i])
                m_documents[i]->intArrayElem = static_cast<short>(i);
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()), QStringLiteral("Error removing form from array"));
    }
}

void frmMDIMain::closeEvent(QCloseEvent *event)
{
    // Every document is asked first; one Cancel keeps everything open.
    const QList<QMdiSubWindow *> wins = m_mdi->subWindowList();
    QList<frmEditor *> docs;
    for (QMdiSubWindow *w : wins)
        if (auto *doc = qobject_cast<frmEditor *>(w->widget()))
            docs << doc;
    // A window still loading or previewing cannot go yet: its load is waiting further down
    // the call stack and would come back to a destroyed window.
    bool busy = m_pendingLoads > 0;
    for (frmEditor *doc : docs)
        busy = busy || doc->isBusy();
    if (busy) {
        statusBar()->showMessage(QStringLiteral("Zendrik cannot close while a document is loading or "
                                                "previewing; try again when it has finished."),
                                 8000);
        event->ignore();
        return;
    }
    for (frmEditor *doc : docs) {
        bool cancel = false;
        doc->queryUnload(cancel);
        if (cancel) {
            for (frmEditor *d : docs)
                d->setCloseApproved(false);
            event->ignore();
            return;
        }
        doc->setCloseApproved(true);
    }
    for (QMdiSubWindow *w : wins)
        w->close();
    unload();
    event->accept();
}

void frmMDIMain::unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    saveMRUList();
    // Preview pages handed to the browser are no longer needed once the program ends.
    removeTempFilesAtExit();
}

QStringList frmMDIMain::mruList() const
{
    QStringList out;
    for (int i = 0; i <= intLastMRU && i < m_mruItems.size(); ++i)
        out << m_mruItems[i]->text();
    return out;
}

int frmMDIMain::findMRUItem(const QString &path) const
{
    const QString upper = path.toUpper();
    for (int i = 0; i <= intLastMRU; ++i)
        if (m_mruItems[i]->text().toUpper() == upper)
            return i;
    return -1;
}

void frmMDIMain::addMRUItem(const QString &path)
{
    if (intLastMRU < 3) {
        ++intLastMRU;
        if (intLastMRU > 0) {
            QAction *entry = new QAction(m_mruItems[0]->text(), this);
            entry->setObjectName(QStringLiteral("mnuMRU_%1").arg(intLastMRU));
            const int index = intLastMRU;
            connect(entry, &QAction::triggered, this, [this, index] { mruItemClicked(index); });
            menuItem(QStringLiteral("mnuFile"))->menu()->insertAction(menuItem(QStringLiteral("sep7")), entry);
            m_mruItems << entry;
        }
        m_mruItems[intLastMRU]->setVisible(true);
    }
    for (int i = intLastMRU; i >= 1; --i)
        m_mruItems[i]->setText(m_mruItems[i - 1]->text());
    m_mruItems[0]->setText(path);
}

void frmMDIMain::moveMRUItemToTop(const QString &path, int index)
{
    for (int i = index; i >= 1; --i)
        m_mruItems[i]->setText(m_mruItems[i - 1]->text());
    m_mruItems[0]->setText(path);
}

void frmMDIMain::updateMRUList(const QString &path)
{
    const int index = findMRUItem(path);
    if (index == -1)
        addMRUItem(path);
    else
        moveMRUItemToTop(path, index);
}

void frmMDIMain::loadMRUList()
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

void frmMDIMain::saveMRUList()
{
    try {
        for (int i = 0; i <= intLastMRU; ++i)
            SettingsStore::save(QString::fromLatin1(SettingsStore::MRUSection), QString::number(i), m_mruItems[i]->text());
    } catch (const std::exception &) {
        // The list is a convenience; a store that cannot be written must not stop the program
        // from closing.
    }
}
