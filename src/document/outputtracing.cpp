// Where the live preview's output came from: Inspect, Show Output, the Trace and the Profile.

#include "components/syntaxbox.h"
#include "components/xmlcontext.h"
#include "document/documentwindow.h"
#include "document/livepreview.h"
#include "document/runreportpane.h"

#include <QFileInfo>
#include <QStatusBar>
#include <QSplitter>
#include <QTreeWidget>
#include <QTabWidget>
#include <QToolButton>

namespace {

using Sci = QsciScintillaBase;
constexpr int kNoteMs = 5000;

// Where the last start tag named name begins at or before position, or -1.
qint64 startTagBefore(const QByteArray &text, const QString &name, qint64 position)
{
    const QByteArray open = '<' + name.toUtf8();
    for (qint64 at = text.lastIndexOf(open, position); at >= 0; at = at > 0 ? text.lastIndexOf(open, at - 1) : -1) {
        const char next = at + open.size() < text.size() ? text.at(at + open.size()) : '>';
        if (next == ' ' || next == '\t' || next == '\n' || next == '\r' || next == '>' || next == '/')
            return at;
    }
    return -1;
}

// Selects the start tag named name whose end lies on line (where the parser reports an
// element), or the line itself for text; the editor scrolls to it.
void selectTraced(SyntaxBox *box, int line, const QString &name)
{
    const int lineIndex = std::max(0, line - 1);
    const qint64 lineStart = box->SendScintilla(Sci::SCI_POSITIONFROMLINE, lineIndex);
    const qint64 lineEnd = box->SendScintilla(Sci::SCI_GETLINEENDPOSITION, lineIndex);
    if (lineStart < 0)
        return;
    qint64 from = lineStart;
    qint64 to = lineEnd;
    if (!name.isEmpty() && !name.startsWith(QLatin1Char('#'))) {
        const QByteArray text = box->utf8Text();
        if (const qint64 at = startTagBefore(text, name, lineEnd); at >= 0) {
            const qint64 gt = text.indexOf('>', at);
            from = at;
            to = gt >= 0 ? gt + 1 : lineEnd;
        }
    } else {
        // Text: the line without its indentation.
        while (from < to && QChar(char(box->SendScintilla(Sci::SCI_GETCHARAT, static_cast<unsigned long>(from)))).isSpace())
            ++from;
    }
    box->SendScintilla(Sci::SCI_SETSEL, static_cast<unsigned long>(to), static_cast<long>(from));
    box->SendScintilla(Sci::SCI_SCROLLCARET);
}

} // namespace

void DocumentWindow::setRunReportVisible(RunReportPane *pane, bool on)
{
    pane->setVisible(on);
    if (on && m_livePane)
        pane->setReport(nullptr);
    updateLiveTracing();
    if (on)
        submitLivePreview();
    if (pane == m_tracePane)
        emit traceVisibilityChanged(on);
    else
        emit profileVisibilityChanged(on);
    if (on)
        pane->list()->setFocus();
}

void DocumentWindow::setTraceVisible(bool on)
{
    setRunReportVisible(m_tracePane, on);
}

bool DocumentWindow::traceVisible() const
{
    return !m_tracePane->isHidden();
}

void DocumentWindow::setProfileVisible(bool on)
{
    setRunReportVisible(m_profilePane, on);
}

bool DocumentWindow::profileVisible() const
{
    return !m_profilePane->isHidden();
}

// The live runs record only what is looked at: with all of it off they cost what they did.
void DocumentWindow::updateLiveTracing()
{
    int flags = 0;
    if (m_livePane && m_livePane->isInspecting())
        flags |= tracing::Map;
    if (traceVisible())
        flags |= tracing::Trace;
    if (profileVisible())
        flags |= tracing::Profile;
    m_model->setLiveTracing(flags);
}

void DocumentWindow::toggleInspect()
{
    if (!livePreview()) {
        StatusBar->showMessage(QStringLiteral("Inspect works in the live preview: turn it on with View > Live Preview."), kNoteMs);
        return;
    }
    m_livePane->setInspecting(!m_livePane->isInspecting());
}

void DocumentWindow::showOutput()
{
    if (!livePreview()) {
        StatusBar->showMessage(QStringLiteral("Show Output works in the live preview: turn it on with View > Live Preview."), kNoteMs);
        return;
    }
    if (m_livePane->map() && m_livePane->isInspecting()) {
        showOutputNow();
        return;
    }
    // The last run was not mapped: map the next one, and show its output then.
    m_showOutputPending = true;
    m_livePane->setInspecting(true);
}

void DocumentWindow::showOutputNow()
{
    const tracing::Report *r = m_livePane ? m_livePane->map() : nullptr;
    if (!r) {
        m_livePane->showOutput({}, QStringLiteral("The last run made no output that could be mapped."));
        return;
    }
    // The element the caret is in: the start tag it is in, or the innermost one open there.
    const QByteArray text = txtXSLT->utf8Text();
    const qint64 caret = txtXSLT->SendScintilla(Sci::SCI_GETCURRENTPOS);
    const QByteArrayView before(text.constData(), std::min<qint64>(caret, text.size()));
    QString name;
    if (const auto tag = xmlcontext::startTagAtEnd(before)) {
        name = tag->name;
        // The caret may be in the name itself.
        qint64 end = caret;
        while (end < text.size() && !QChar(text.at(end)).isSpace() && text.at(end) != '>' && text.at(end) != '/')
            ++end;
        if (tag->attributes.isEmpty())
            name += QString::fromUtf8(text.mid(caret, end - caret));
    }
    else if (const auto value = xmlcontext::attributeValueAtEnd(before))
        name = value->element;
    else
        name = xmlcontext::innermostOpenElement(before);
    if (name.isEmpty()) {
        m_livePane->showOutput({}, QStringLiteral("Put the caret in a template or an instruction to see its output."));
        return;
    }
    // Its start tag, and the line that tag ends on, which is where the run reports it.
    const qint64 at = startTagBefore(text, name, std::max<qint64>(0, caret - 1));
    const qint64 gt = at >= 0 ? text.indexOf('>', at) : -1;
    const int line = gt >= 0 ? int(txtXSLT->SendScintilla(Sci::SCI_LINEFROMPOSITION, static_cast<unsigned long>(gt))) + 1 : 0;
    const int mainFile = 0;

    QList<int> nodes;
    QString note;
    if (name == QLatin1String("xsl:template")) {
        int templ = -1;
        for (qsizetype t = 0; t < r->templates.size(); ++t)
            if (r->templates[t].file == mainFile && r->templates[t].line == line)
                templ = int(t);
        for (qsizetype i = 0; i < r->nodes.size(); ++i)
            if (templ >= 0 && r->nodes[i].templ == templ && (r->nodes[i].parent < 0 || r->nodes[r->nodes[i].parent].templ != templ))
                nodes << int(i);
        const qint64 runs = templ >= 0 ? r->templates[templ].calls : 0;
        note = QStringLiteral("The template on line %1 ran %2 times in the last run and made %3 of its output.")
                   .arg(line)
                   .arg(runs)
                   .arg(nodes.size() == 1 ? QStringLiteral("1 piece") : QStringLiteral("%1 pieces").arg(nodes.size()));
    } else {
        QList<int> instructions;
        qint64 runs = 0;
        for (qsizetype i = 0; i < r->instructions.size(); ++i) {
            const tracing::Instruction &in = r->instructions[i];
            if (in.file == mainFile && in.line == line && in.name == name) {
                instructions << int(i);
                runs += in.runs;
            }
        }
        for (qsizetype i = 0; i < r->nodes.size(); ++i)
            if (instructions.contains(r->nodes[i].instruction))
                nodes << int(i);
        note = QStringLiteral("%1 on line %2 ran %3 times in the last run and made %4 of its output.")
                   .arg(name)
                   .arg(line)
                   .arg(runs)
                   .arg(nodes.size() == 1 ? QStringLiteral("1 piece") : QStringLiteral("%1 pieces").arg(nodes.size()));
    }
    m_livePane->showOutput(nodes, note);
}

void DocumentWindow::inspectNode(int node)
{
    const tracing::Report *r = m_livePane ? m_livePane->map() : nullptr;
    if (!r || node < 0 || node >= r->nodes.size())
        return;
    const tracing::Node &n = r->nodes[node];
    if (n.source >= 0) {
        const tracing::SourceNode &s = r->sources[n.source];
        if (s.line > 0)
            selectTraced(txtXML, s.line, r->sourceName(n.source));
    }
    if (n.instruction >= 0) {
        const tracing::Instruction &in = r->instructions[n.instruction];
        goToTraced(r->files.value(in.file), in.line, in.name);
    } else {
        StatusBar->showMessage(n.templ < 0 ? QStringLiteral("A built-in rule made this output.")
                                           : QStringLiteral("No instruction is known for this output."),
                               kNoteMs);
    }
}

void DocumentWindow::goToTraced(const QString &file, int line, const QString &name)
{
    if (file.isEmpty() || line <= 0)
        return;
    if (file == m_model->stylesheetBase() || QFileInfo(file) == QFileInfo(m_model->stylesheetBase())) {
        SSTab->setCurrentIndex(0);
        selectTraced(txtXSLT, line, name);
        return;
    }
    // In an included or imported stylesheet: its own window, opened when it is not.
    emit openDeclaration(file, line, 1, 0);
    if (windowForFile)
        if (DocumentWindow *other = windowForFile(file); other && other != this)
            other->goToTraced(file, line, name);
}

void DocumentWindow::goToTemplate(int templ)
{
    auto *pane = qobject_cast<RunReportPane *>(sender());
    const tracing::Report *r = pane ? pane->report() : nullptr;
    if (!r || templ < 0 || templ >= r->templates.size())
        return;
    goToTraced(r->files.value(r->templates[templ].file), r->templates[templ].line, QStringLiteral("xsl:template"));
}

void DocumentWindow::goToSourceNode(int source)
{
    auto *pane = qobject_cast<RunReportPane *>(sender());
    const tracing::Report *r = pane ? pane->report() : nullptr;
    if (!r || source < 0 || source >= r->sources.size() || r->sources[source].line <= 0)
        return;
    SSTab->setCurrentIndex(1);
    selectTraced(txtXML, r->sources[source].line, r->sourceName(source));
    txtXML->setFocus();
}
