// The document window's knowledge of its stylesheet: the checks while typing, the outline, Go
// to Definition, Find Usages and Rename.

#include "document/documentwindow.h"

#include "components/editorassist.h"
#include "document/outlinepane.h"
#include "document/stylesheetinsight.h"
#include "document/usagespane.h"
#include "engine/stylesheetrename.h"

#include <QFileInfo>
#include <QPointer>
#include <QSet>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>

namespace {

using DKind = stylesheet::Declaration::Kind;
using RKind = stylesheet::Reference::Kind;

constexpr int kChecksMarks = 4;
constexpr int kNoteMs = 5000;

// The 1-based line of a text, without its line break.
QString lineOf(const QString &text, int line)
{
    int start = 0;
    for (int l = 1; l < line && start >= 0; ++l) {
        start = int(text.indexOf(QLatin1Char('\n'), start));
        if (start >= 0)
            ++start;
    }
    if (start < 0)
        return QString();
    int end = int(text.indexOf(QLatin1Char('\n'), start));
    if (end < 0)
        end = int(text.size());
    QString out = text.mid(start, end - start);
    if (out.endsWith(QLatin1Char('\r')))
        out.chop(1);
    return out;
}

QString shownName(const stylesheet::Declaration &d)
{
    return d.kind == DKind::Variable || d.kind == DKind::Param ? QLatin1Char('$') + d.name : d.name;
}

} // namespace

void DocumentWindow::buildInsight()
{
    StylesheetInsight::Inputs inputs;
    inputs.text = [this] { return txtXSLT->utf8Text(); };
    const auto ownPath = [this] {
        const QString file = m_model->fileName(StylesheetDocument::Text::Stylesheet);
        return file.isEmpty() || fromUrl ? QString() : QFileInfo(file).absoluteFilePath();
    };
    inputs.file = ownPath;
    inputs.unsavedModules = [this, ownPath] {
        // The others' texts: this one's is the model's own text.
        QHash<QString, QByteArray> texts = unsavedStylesheets ? unsavedStylesheets() : QHash<QString, QByteArray>();
        texts.remove(ownPath());
        return texts;
    };
    inputs.includer = [this, ownPath]() -> std::optional<StylesheetInsight::Inputs::Includer> {
        const QString path = ownPath();
        if (path.isEmpty() || !includerOf)
            return std::nullopt;
        if (const auto found = includerOf(path))
            return StylesheetInsight::Inputs::Includer{found->first, found->second};
        return std::nullopt;
    };
    inputs.wellFormed = [this]() -> std::optional<bool> {
        if (!m_model->autoParse())
            return true;
        switch (m_model->verdict(StylesheetDocument::Text::Stylesheet)) {
        case StylesheetDocument::Verdict::Checking: return std::nullopt;
        case StylesheetDocument::Verdict::WellFormed: return true;
        case StylesheetDocument::Verdict::Malformed: return false;
        }
        return false;
    };
    m_insight = new StylesheetInsight(std::move(inputs), this);
    connect(m_insight, &StylesheetInsight::modelChanged, this, &DocumentWindow::showInsight);

    m_outlineFollow = new QTimer(this);
    m_outlineFollow->setSingleShot(true);
    m_outlineFollow->setInterval(100);
    connect(m_outlineFollow, &QTimer::timeout, this, &DocumentWindow::followCaretInOutline);
    connect(txtXSLT, &SyntaxBox::caretMoved, this, [this] {
        if (!m_outline->isHidden())
            m_outlineFollow->start();
    });
    connect(m_outline, &OutlinePane::declarationActivated, this, [this](int declaration) {
        const stylesheet::Model &model = m_insight->model();
        if (declaration < 0 || declaration >= model.declarations.size())
            return;
        const stylesheet::Declaration &d = model.declarations[declaration];
        if (d.kind == DKind::Include || d.kind == DKind::Import) {
            const QString module = StylesheetInsight::moduleOf(d);
            if (!module.isEmpty() && QFileInfo(module).isFile()) {
                goToPlace(module, 1, 1, 0);
                return;
            }
        }
        goToPlace(d.place.file, d.place.line, d.place.column, d.place.length);
    });
    m_usages->setUnsavedName(newDocumentCaption());
    connect(m_usages, &UsagesPane::activated, this, [this](const UsagesPane::Row &row) {
        goToPlace(row.file, row.line, row.column, row.length);
    });
    connect(m_usages, &UsagesPane::applyRequested, this, &DocumentWindow::applyRename);
    connect(m_usages, &UsagesPane::cancelRequested, this, [this] {
        m_pendingRename = {};
        showUsagesPane(false);
        txtXSLT->setFocus();
    });
    // Ctrl+click on a name goes to its declaration.
    connect(txtXSLT, &SyntaxBox::mouseReleased, this, [this](int button, int shift, int, int) {
        if (button == 1 && shift == 2)
            QTimer::singleShot(0, this, &DocumentWindow::goToDefinition);
    });
}

void DocumentWindow::showInsight()
{
    const QString mainFile = m_insight->mainFile();
    // A mistake the compiler reports already is listed once, in its words.
    QSet<int> compiled;
    for (const Diagnostic &d : m_model->compileDiagnostics())
        if (d.severity == Diagnostic::Severity::Error && (d.file.isEmpty() || isStylesheetFile(d.file)))
            compiled.insert(d.line);
    QList<Diagnostic> problems;
    QList<EditorAssist::Mark> marks;
    for (const stylesheet::Finding &f : m_insight->findings()) {
        if (f.place.file != mainFile)
            continue; // a module's own window shows its findings
        if (f.severity == stylesheet::Finding::Severity::Error && compiled.contains(f.place.line))
            continue;
        Diagnostic d;
        d.severity = f.severity == stylesheet::Finding::Severity::Error ? Diagnostic::Severity::Error : Diagnostic::Severity::Warning;
        d.origin = Diagnostic::Origin::Check;
        d.message = f.message;
        d.file = stylesheetName();
        d.line = f.place.line;
        d.column = f.place.column;
        problems << d;
        marks << EditorAssist::Mark{d.line, d.column, d.severity, d.message, f.place.length};
    }
    m_assistXSLT->setMarks(kChecksMarks, marks);
    m_problems->setProblems(ProblemsPane::Source::Checks, problems);
    if (!m_outline->isHidden()) {
        m_outline->setModel(m_insight->model(), mainFile);
        followCaretInOutline();
    }
}

void DocumentWindow::setOutlineVisible(bool on)
{
    m_outline->setVisible(on);
    if (on) {
        if (m_outlineSplitter->sizes().value(0) < 120)
            m_outlineSplitter->setSizes({300, std::max(240, m_outlineSplitter->width() - 300)});
        SSTab->setCurrentIndex(0);
        m_insight->whenCurrent([this] {
            m_outline->setModel(m_insight->model(), m_insight->mainFile());
            followCaretInOutline();
        });
    }
    emit outlineVisibilityChanged(on);
}

bool DocumentWindow::outlineVisible() const
{
    return !m_outline->isHidden();
}

void DocumentWindow::focusOutlineFilter()
{
    m_outline->focusFilter();
}

int DocumentWindow::stylesheetCaret() const
{
    return txtXSLT->characterPositionOf(txtXSLT->SendScintilla(QsciScintillaBase::SCI_GETCURRENTPOS));
}

void DocumentWindow::followCaretInOutline()
{
    if (m_outline->isHidden() || !m_insight->isCurrent())
        return;
    // The top-level declaration whose element holds the caret.
    const int caret = stylesheetCaret();
    const stylesheet::Model &model = m_insight->model();
    int found = -1;
    for (int i = 0; i < model.declarations.size(); ++i) {
        const stylesheet::Declaration &d = model.declarations[i];
        if (!d.global || d.implied || d.place.file != m_insight->mainFile())
            continue;
        if (d.place.offset > caret)
            break;
        if (caret <= std::max(d.scopeEnd, d.place.offset + d.place.length))
            found = i;
    }
    m_outline->selectDeclaration(found);
}

QString DocumentWindow::lineText(const QString &file, int line) const
{
    if (file != m_insight->mainFile())
        return lineOf(m_insight->textOf(file), line);
    if (line < 1 || line > txtXSLT->lines())
        return QString();
    QString text = txtXSLT->text(line - 1);
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    return text;
}

QString DocumentWindow::stylesheetText() const
{
    return txtXSLT->text();
}

QByteArray DocumentWindow::stylesheetUtf8() const
{
    return txtXSLT->utf8Text();
}

void DocumentWindow::selectInStylesheet(int line, int column, int length)
{
    SSTab->setCurrentIndex(0);
    txtXSLT->selectSpan(line, std::max(1, column), length);
    txtXSLT->setFocus();
}

void DocumentWindow::goToPlace(const QString &file, int line, int column, int length)
{
    if (file == m_insight->mainFile())
        selectInStylesheet(line, column, length);
    else if (!file.isEmpty())
        emit openDeclaration(file, line, column, length);
}

void DocumentWindow::goToDefinition()
{
    if (SSTab->currentIndex() != 0)
        return;
    const int caret = stylesheetCaret();
    m_insight->whenCurrent([this, caret] {
        const stylesheet::Model &model = m_insight->model();
        if (const std::optional<int> r = m_insight->referenceAt(caret)) {
            const stylesheet::Reference &ref = model.references[*r];
            if (ref.kind == RKind::Href) {
                const QString module = ref.declaration >= 0 ? StylesheetInsight::moduleOf(model.declarations[ref.declaration]) : QString();
                if (module.isEmpty() || !QFileInfo(module).isFile())
                    StatusBar->showMessage(QStringLiteral("\"%1\" is not a file here").arg(ref.name), kNoteMs);
                else
                    goToPlace(module, 1, 1, 0);
                return;
            }
            if (ref.kind == RKind::Mode) {
                // A mode is declared by its templates: all of them.
                QList<UsagesPane::Row> rows;
                for (const stylesheet::Declaration &d : model.declarations)
                    if (d.kind == DKind::Template && d.mode.split(QLatin1Char(' '), Qt::SkipEmptyParts).contains(ref.name))
                        rows << UsagesPane::Row{d.place.file, d.place.line, d.place.column, d.place.length,
                                                lineText(d.place.file, d.place.line)};
                m_usages->showRows(QStringLiteral("Templates in mode \"%1\": %2").arg(ref.name).arg(rows.size()), rows);
                showUsagesPane(true);
                return;
            }
            if (ref.declaration < 0) {
                StatusBar->showMessage(QStringLiteral("No declaration of \"%1\" was found").arg(ref.name), kNoteMs);
                return;
            }
            const stylesheet::Place &p = model.declarations[ref.declaration].place;
            goToPlace(p.file, p.line, p.column, p.length);
            return;
        }
        if (const std::optional<int> d = m_insight->declarationAt(caret)) {
            const stylesheet::Declaration &decl = model.declarations[*d];
            const QString module = decl.kind == DKind::Include || decl.kind == DKind::Import ? StylesheetInsight::moduleOf(decl) : QString();
            if (!module.isEmpty() && QFileInfo(module).isFile())
                goToPlace(module, 1, 1, 0);
            else
                goToPlace(decl.place.file, decl.place.line, decl.place.column, decl.place.length);
            return;
        }
        StatusBar->showMessage(QStringLiteral("No name to go to at the caret"), kNoteMs);
    });
}

void DocumentWindow::findUsages()
{
    if (SSTab->currentIndex() != 0)
        return;
    const int caret = stylesheetCaret();
    m_insight->whenCurrent([this, caret] {
        const stylesheet::Model &model = m_insight->model();
        const std::optional<int> d = m_insight->declarationAt(caret);
        if (!d) {
            StatusBar->showMessage(QStringLiteral("No name to find the usages of at the caret"), kNoteMs);
            return;
        }
        const stylesheet::Declaration &decl = model.declarations[*d];
        QList<UsagesPane::Row> rows;
        const auto rowOf = [this](const stylesheet::Place &p) {
            return UsagesPane::Row{p.file, p.line, p.column, p.length, lineText(p.file, p.line)};
        };
        rows << rowOf(decl.place);
        // This stylesheet's first, then each module's, each in the order of its text.
        QList<int> usages = model.usagesOf(*d);
        const QString mainFile = m_insight->mainFile();
        std::stable_sort(usages.begin(), usages.end(), [&](int a, int b) {
            const stylesheet::Place &pa = model.references[a].place;
            const stylesheet::Place &pb = model.references[b].place;
            if ((pa.file == mainFile) != (pb.file == mainFile))
                return pa.file == mainFile;
            return pa.file != pb.file ? pa.file < pb.file : pa.offset < pb.offset;
        });
        for (int u : usages)
            rows << rowOf(model.references[u].place);
        const QString name = shownName(decl);
        const QString title = usages.isEmpty()    ? QStringLiteral("No usages of %1").arg(name)
                              : usages.size() == 1 ? QStringLiteral("1 usage of %1").arg(name)
                                                   : QStringLiteral("%1 usages of %2").arg(usages.size()).arg(name);
        m_usages->showRows(title, rows);
        showUsagesPane(true);
    });
}

void DocumentWindow::showUsagesPane(bool on)
{
    m_usages->setVisible(on);
    if (on) {
        const QList<int> sizes = SSSplitter1->sizes();
        const int index = SSSplitter1->indexOf(m_usages);
        if (index >= 0 && sizes.value(index) < 80) {
            QList<int> wanted = sizes;
            wanted[index] = std::max(120, SSSplitter1->height() / 4);
            wanted[0] = std::max(100, wanted[0] - wanted[index]);
            SSSplitter1->setSizes(wanted);
        }
        m_usages->list()->setFocus();
    }
}

bool DocumentWindow::applyStylesheetEdits(QList<TextEdit> edits)
{
    const QString text = txtXSLT->text();
    for (const TextEdit &e : edits)
        if (e.offset < 0 || e.length < 0 || e.offset + e.length > text.size())
            return false;
    // From the end, so that each place is still where it was planned.
    std::sort(edits.begin(), edits.end(), [](const TextEdit &a, const TextEdit &b) { return a.offset > b.offset; });
    const long firstVisible = txtXSLT->SendScintilla(QsciScintillaBase::SCI_GETFIRSTVISIBLELINE);
    const int caret = stylesheetCaret();
    int caretShift = 0;
    txtXSLT->beginUndoAction();
    for (const TextEdit &e : edits) {
        const long from = txtXSLT->bytePositionOf(e.offset);
        const long to = txtXSLT->bytePositionOf(e.offset + e.length);
        const QByteArray utf8 = e.text.toUtf8();
        txtXSLT->SendScintilla(QsciScintillaBase::SCI_SETTARGETRANGE, from, to);
        txtXSLT->SendScintilla(QsciScintillaBase::SCI_REPLACETARGET, static_cast<unsigned long>(utf8.size()), utf8.constData());
        if (e.offset + e.length <= caret)
            caretShift += int(e.text.size()) - e.length;
    }
    txtXSLT->endUndoAction();
    txtXSLT->SendScintilla(QsciScintillaBase::SCI_GOTOPOS, txtXSLT->bytePositionOf(caret + caretShift));
    txtXSLT->SendScintilla(QsciScintillaBase::SCI_SETFIRSTVISIBLELINE, firstVisible);
    return true;
}

void DocumentWindow::applyRename()
{
    const PendingRename pending = std::move(m_pendingRename);
    m_pendingRename = {};
    const QPointer<DocumentWindow> self(this);
    const QString mainFile = m_insight->mainFile();
    const auto changed = [this] {
        showUsagesPane(false);
        dialogs().messageBox(this, QStringLiteral("The stylesheets changed since the rename was shown; nothing was renamed."),
                             QMessageBox::Warning, QMessageBox::Ok, QStringLiteral("Rename"));
    };
    // This stylesheet changed since: no other window need open to learn it.
    if (m_insight->generation() != pending.generation) {
        changed();
        return;
    }
    // Every file's window first, each still holding the text the rename was planned on: a
    // rename applies everywhere or nowhere.
    QList<QPair<QPointer<DocumentWindow>, QString>> targets;
    for (auto it = pending.edits.cbegin(); it != pending.edits.cend(); ++it) {
        DocumentWindow *window = it.key() == mainFile ? this : (windowForFile ? windowForFile(it.key()) : nullptr);
        if (!self)
            return;
        if (!window || window->isStylesheetReadOnly()) {
            dialogs().messageBox(this, QStringLiteral("%1 could not be opened for editing; nothing was renamed.").arg(it.key()),
                                 QMessageBox::Warning, QMessageBox::Ok, QStringLiteral("Rename"));
            return;
        }
        targets << qMakePair(QPointer<DocumentWindow>(window), it.key());
    }
    for (const auto &[window, file] : targets)
        if (!window || (window == this ? m_insight->generation() != pending.generation : window->stylesheetText() != pending.texts.value(file))) {
            changed();
            return;
        }
    for (const auto &[window, file] : targets)
        window->applyStylesheetEdits(pending.edits.value(file));
    showUsagesPane(false);
    txtXSLT->setFocus();
}

void DocumentWindow::renameSymbol()
{
    if (SSTab->currentIndex() != 0)
        return;
    if (txtXSLT->isReadOnly()) {
        StatusBar->showMessage(QStringLiteral("This stylesheet is read-only"), kNoteMs);
        return;
    }
    const int caret = stylesheetCaret();
    m_insight->whenCurrent([this, caret] {
        const stylesheet::Model model = m_insight->model();
        const std::optional<int> d = m_insight->declarationAt(caret);
        if (!d) {
            StatusBar->showMessage(QStringLiteral("No name to rename at the caret"), kNoteMs);
            return;
        }
        const stylesheet::Declaration decl = model.declarations[*d];
        const QPointer<DocumentWindow> self(this);
        const QString newName = dialogs().inputBox(this, QStringLiteral("New name for %1:").arg(shownName(decl)),
                                                   QStringLiteral("Rename"), decl.name).trimmed();
        if (!self || newName.isEmpty() || newName == decl.name)
            return;
        const QString mainFile = m_insight->mainFile();
        const auto writable = [this, mainFile](const QString &file) {
            if (file == mainFile)
                return !txtXSLT->isReadOnly();
            const QFileInfo info(file);
            return info.isFile() && info.isWritable();
        };
        const stylesheet::RenamePlan plan = stylesheet::planRename(model, *d, newName, writable);
        if (!plan.error.isEmpty()) {
            dialogs().messageBox(this, plan.error, QMessageBox::Warning, QMessageBox::Ok, QStringLiteral("Rename"));
            return;
        }
        // The changes, each on its line as the line would read after them.
        PendingRename pending;
        QList<UsagesPane::Row> rows;
        for (const stylesheet::RenameEdit &e : plan.edits) {
            pending.edits[e.place.file] << TextEdit{e.place.offset, e.place.length, e.newText};
            if (e.place.file != mainFile && !pending.texts.contains(e.place.file))
                pending.texts.insert(e.place.file, m_insight->textOf(e.place.file));
        }
        for (const stylesheet::RenameEdit &e : plan.edits) {
            QString line = lineText(e.place.file, e.place.line);
            QList<const stylesheet::RenameEdit *> onLine;
            for (const stylesheet::RenameEdit &other : plan.edits)
                if (other.place.file == e.place.file && other.place.line == e.place.line)
                    onLine << &other;
            std::sort(onLine.begin(), onLine.end(), [](auto *a, auto *b) { return a->place.column > b->place.column; });
            for (const stylesheet::RenameEdit *o : onLine)
                line.replace(o->place.column - 1, o->place.length, o->newText);
            rows << UsagesPane::Row{e.place.file, e.place.line, e.place.column, e.place.length, line};
        }
        // Listed by file and line.
        std::stable_sort(rows.begin(), rows.end(), [&](const UsagesPane::Row &a, const UsagesPane::Row &b) {
            const bool aMain = a.file == mainFile, bMain = b.file == mainFile;
            if (aMain != bMain)
                return aMain;
            return a.file != b.file ? a.file < b.file : a.line < b.line;
        });
        const int files = int(pending.edits.size());
        const QString changes = rows.size() == 1 ? QStringLiteral("1 change") : QStringLiteral("%1 changes").arg(rows.size());
        const QString inFiles = files == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(files);
        const QString newShown = decl.kind == DKind::Variable || decl.kind == DKind::Param ? QLatin1Char('$') + newName : newName;
        pending.generation = m_insight->generation();
        m_pendingRename = pending;
        m_usages->showRows(QStringLiteral("Rename %1 to %2: %3 in %4").arg(shownName(decl), newShown, changes, inFiles), rows, true);
        showUsagesPane(true);
    });
}
