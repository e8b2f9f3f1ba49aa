// Completion that knows the stylesheet, and what resting the pointer on a name tells: inside
// expressions the variables in scope, the functions with their signatures, the axes, and the
// element and attribute names of the loaded XML source; in call-template, mode and key('…')
// the names the stylesheet declares.

#include "document/documentwindow.h"

#include "components/editorassist.h"
#include "components/xmlcontext.h"
#include "document/stylesheetinsight.h"
#include "engine/saxonhelper.h"
#include "engine/xpathfunctions.h"

#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>

namespace {

using DKind = stylesheet::Declaration::Kind;
using RKind = stylesheet::Reference::Kind;

const QLatin1String kXsltNamespace("http://www.w3.org/1999/XSL/Transform");

// The axes, as offered after a name has begun.
const char *const kAxes[] = {"ancestor::", "ancestor-or-self::", "attribute::", "child::", "descendant::",
                             "descendant-or-self::", "following::", "following-sibling::", "namespace::",
                             "parent::", "preceding::", "preceding-sibling::", "self::"};

bool isExpressionNameChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_') || c == QLatin1Char('.') || c == QLatin1Char(':');
}

// Where the caret is, for completion.
struct Place {
    enum class Kind { None, Expression, TemplateName, Mode, AttributeSets, KeyName } kind = Kind::None;
    QString expression; // an expression's text before the caret
    QString word;       // the name typed so far
};

// Of an expression's text before the caret: whether the caret is inside a string literal, and
// the text before that literal.
bool inLiteral(const QString &expression, QString *before)
{
    QChar quote;
    qsizetype start = -1;
    for (qsizetype i = 0; i < expression.size(); ++i) {
        const QChar c = expression[i];
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
        } else if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            quote = c;
            start = i;
        }
    }
    if (quote.isNull())
        return false;
    *before = expression.left(start);
    return true;
}

// The names of the XML source, most frequent first.
struct SourceNames {
    QStringList elements;
    QStringList attributes;
};

SourceNames namesOf(QByteArrayView text)
{
    // Enough of a large source to know its vocabulary.
    text = text.first(std::min<qsizetype>(text.size(), 16 * 1024 * 1024));
    QHash<QByteArray, int> elements;
    QHash<QByteArray, int> attributes;
    const auto isName = [](char c) {
        return static_cast<unsigned char>(c) >= 0x80 || std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == ':';
    };
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        const qsizetype lt = text.indexOf('<', i);
        if (lt < 0 || lt + 1 >= n)
            break;
        i = lt + 1;
        const char first = text[i];
        if (first == '!' || first == '?') {
            const char *close = text.sliced(i).startsWith("!--") ? "-->" : text.sliced(i).startsWith("![CDATA[") ? "]]>" : ">";
            const qsizetype end = text.indexOf(close, i);
            i = end < 0 ? n : end + 1;
            continue;
        }
        if (!isName(first))
            continue;
        qsizetype j = i;
        while (j < n && isName(text[j]))
            ++j;
        ++elements[text.sliced(i, j - i).toByteArray()];
        // Its attributes, to the end of the tag.
        while (j < n && text[j] != '>') {
            if (text[j] == '"' || text[j] == '\'') {
                const qsizetype close = text.indexOf(text[j], j + 1);
                j = close < 0 ? n : close + 1;
            } else if (isName(text[j])) {
                const qsizetype start = j;
                while (j < n && isName(text[j]))
                    ++j;
                const QByteArrayView name = text.sliced(start, j - start);
                if (name != "xmlns" && !name.startsWith("xmlns:"))
                    ++attributes[name.toByteArray()];
            } else {
                ++j;
            }
        }
        i = j;
    }
    const auto ordered = [](const QHash<QByteArray, int> &counts) {
        QList<QPair<int, QString>> rows;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            rows << qMakePair(-it.value(), QString::fromUtf8(it.key()));
        std::sort(rows.begin(), rows.end());
        QStringList out;
        for (const auto &r : rows)
            out << r.second;
        return out;
    };
    return {ordered(elements), ordered(attributes)};
}

} // namespace

void DocumentWindow::connectCompletion()
{
    // Our lists insert what their rows stand for (a function's row shows its signature).
    connect(txtXSLT, qOverload<const char *, int>(&QsciScintillaBase::SCN_AUTOCSELECTION), this, [this](const char *selection, int position) {
        if (m_completion.isEmpty())
            return;
        const QString chosen = QString::fromUtf8(selection);
        const QString insert = m_completion.value(chosen, chosen);
        m_completion.clear();
        txtXSLT->SendScintilla(QsciScintillaBase::SCI_AUTOCCANCEL);
        const long caret = txtXSLT->SendScintilla(QsciScintillaBase::SCI_GETCURRENTPOS);
        const QByteArray utf8 = insert.toUtf8();
        txtXSLT->SendScintilla(QsciScintillaBase::SCI_SETTARGETRANGE, long(position), caret);
        txtXSLT->SendScintilla(QsciScintillaBase::SCI_REPLACETARGET, static_cast<unsigned long>(utf8.size()), utf8.constData());
        txtXSLT->SendScintilla(QsciScintillaBase::SCI_GOTOPOS, long(position) + long(utf8.size()));
    });
    connect(txtXSLT, &QsciScintillaBase::SCN_AUTOCCANCELLED, this, [this] { m_completion.clear(); });
    connect(txtXML, &SyntaxBox::changed, this, [this] { m_sourceNamesFresh = false; });
    m_assistXSLT->setHoverText([this](int position) { return hoverText(position); });
}

QStringList DocumentWindow::sourceNames(bool attributes)
{
    if (!m_sourceNamesFresh) {
        const SourceNames names = namesOf(txtXML->utf8Text());
        m_sourceElements = names.elements;
        m_sourceAttributes = names.attributes;
        m_sourceNamesFresh = true;
    }
    return attributes ? m_sourceAttributes : m_sourceElements;
}

bool DocumentWindow::offerCompletion(int typed)
{
    if (txtXSLT->isReadOnly())
        return false;
    constexpr long kWindow = 64 * 1024;
    const std::optional<xmlcontext::AttributeValue> value = xmlcontext::attributeValueAtEnd(txtXSLT->textBeforeCaret(kWindow));
    if (!value)
        return false;

    // Which element: an XSLT one by the prefix the stylesheet binds to XSLT's namespace.
    QString xsltPrefix = QStringLiteral("xsl");
    for (const auto &[prefix, uri] : stylesheetNamespaces())
        if (uri == kXsltNamespace)
            xsltPrefix = prefix;
    const bool xslt = value->element.startsWith(xsltPrefix + QLatin1Char(':'));
    const QString local = xslt ? value->element.mid(xsltPrefix.size() + 1) : value->element;

    Place place;
    if (xslt && stylesheet::isExpressionAttribute(value->attribute)) {
        place.kind = Place::Kind::Expression;
        place.expression = value->value;
    } else if (xslt && local == QLatin1String("call-template") && value->attribute == QLatin1String("name")) {
        place.kind = Place::Kind::TemplateName;
    } else if (xslt && value->attribute == QLatin1String("mode")) {
        place.kind = Place::Kind::Mode;
    } else if (value->attribute == QLatin1String("use-attribute-sets") || value->attribute == xsltPrefix + QLatin1String(":use-attribute-sets")) {
        place.kind = Place::Kind::AttributeSets;
    } else if (!value->attribute.startsWith(QLatin1String("xmlns"))) {
        // An attribute value template: inside a brace that is still open.
        int depth = 0;
        qsizetype open = -1;
        const QString &v = value->value;
        for (qsizetype i = 0; i < v.size(); ++i) {
            if (depth == 0 && v[i] == QLatin1Char('{') && i + 1 < v.size() && v[i + 1] == QLatin1Char('{')) {
                ++i;
            } else if (v[i] == QLatin1Char('{')) {
                if (depth++ == 0)
                    open = i;
            } else if (v[i] == QLatin1Char('}') && depth > 0) {
                --depth;
            }
        }
        if (depth > 0) {
            place.kind = Place::Kind::Expression;
            place.expression = v.mid(open + 1);
        }
    }
    if (place.kind == Place::Kind::None)
        return false;

    // The name typed so far.
    const QString &before = place.kind == Place::Kind::Expression ? place.expression : value->value;
    qsizetype start = before.size();
    while (start > 0 && isExpressionNameChar(before[start - 1]))
        --start;
    // An axis ends a name: "child::na" has typed "na".
    if (const qsizetype axis = before.lastIndexOf(QLatin1String("::")); axis >= start)
        start = axis + 2;
    place.word = before.mid(start);
    if (place.kind != Place::Kind::Expression) {
        // A list of names: the word after the last space.
        const qsizetype space = before.lastIndexOf(QLatin1Char(' '));
        place.word = before.mid(space + 1);
    }
    // What opens a list by itself: "$", "@", "/", "::", a quote, the first letter of a name,
    // and a space between names; anything else only when asked for (typed is 0).
    const bool letter = typed > 0 && (QChar(typed).isLetter() || typed == '_');
    if (typed != 0) {
        const QString lead = before.left(start);
        bool opens = letter && place.word.size() == 1;
        if (place.kind == Place::Kind::Expression)
            opens = opens || typed == '$' || typed == '@' || typed == '/' || (typed == ':' && lead.endsWith(QLatin1String("::")))
                    || ((typed == '"' || typed == '\'') && before.trimmed().endsWith(QLatin1String("key(")) == false
                        && QRegularExpression(QStringLiteral("key\\(\\s*[\"']$")).match(before).hasMatch());
        else
            opens = opens || ((typed == '"' || typed == '\'' || typed == ' ') && place.word.isEmpty());
        if (!opens)
            return false;
    }

    // What to offer: rows shown, and what each inserts.
    QList<QPair<QString, QString>> rows;
    const auto add = [&rows](const QString &shown, const QString &insert) { rows << qMakePair(shown, insert); };
    const auto ensureModel = [this] {
        // Names need not be exact to the character: a model of a moment ago will do, so a
        // large text is not read again at every key.
        if (!m_insight->model().declarations.isEmpty() || m_insight->isCurrent())
            return;
        if (txtXSLT->SendScintilla(QsciScintillaBase::SCI_GETLENGTH) <= StylesheetInsight::kInlineBytes)
            m_insight->whenCurrent([] {});
    };
    const auto declared = [&](DKind kind) {
        ensureModel();
        QStringList names;
        for (const stylesheet::Declaration &d : m_insight->model().declarations)
            if (d.kind == kind && d.global && !d.name.isEmpty() && !names.contains(d.name))
                names << d.name;
        names.sort();
        return names;
    };

    QString literalBefore;
    switch (place.kind) {
    case Place::Kind::None:
        return false;
    case Place::Kind::TemplateName:
        for (const QString &n : declared(DKind::Template))
            add(n, n);
        break;
    case Place::Kind::AttributeSets:
        for (const QString &n : declared(DKind::AttributeSet))
            add(n, n);
        break;
    case Place::Kind::Mode: {
        ensureModel();
        QStringList modes;
        for (const stylesheet::Declaration &d : m_insight->model().declarations)
            if (d.kind == DKind::Template)
                for (const QString &m : d.mode.split(QLatin1Char(' '), Qt::SkipEmptyParts))
                    if (!modes.contains(m))
                        modes << m;
        modes.sort();
        for (const QString &m : modes)
            add(m, m);
        break;
    }
    case Place::Kind::KeyName:
        break;
    case Place::Kind::Expression: {
        if (inLiteral(place.expression, &literalBefore)) {
            // key('…'): the keys.
            if (!literalBefore.trimmed().endsWith(QLatin1String("key(")))
                return false;
            place.kind = Place::Kind::KeyName;
            const QString &e = place.expression;
            place.word = e.mid(e.lastIndexOf(QRegularExpression(QStringLiteral("[\"']"))) + 1);
            for (const QString &n : declared(DKind::Key))
                add(n, n);
            break;
        }
        const QString lead = place.expression.left(start);
        if (lead.endsWith(QLatin1Char('$'))) {
            // The variables and parameters in scope: the locals around the caret first.
            ensureModel();
            const stylesheet::Model &model = m_insight->model();
            const int caretOffset = stylesheetCaret();
            QStringList locals;
            QStringList globals;
            for (const stylesheet::Declaration &d : model.declarations) {
                if ((d.kind != DKind::Variable && d.kind != DKind::Param) || d.name.isEmpty())
                    continue;
                if (d.global) {
                    if (!globals.contains(d.name))
                        globals << d.name;
                } else if (d.place.file == m_insight->mainFile() && d.place.offset < caretOffset && caretOffset <= d.scopeEnd) {
                    locals.removeAll(d.name);
                    locals.prepend(d.name);
                }
            }
            globals.sort();
            for (const QString &n : locals)
                add(n, n);
            for (const QString &n : globals)
                if (!locals.contains(n))
                    add(n, n);
        } else if (lead.endsWith(QLatin1Char('@')) || lead.endsWith(QLatin1String("attribute::"))) {
            for (const QString &n : sourceNames(true))
                add(n, n);
        } else if (lead.endsWith(QLatin1String("::")) || lead.endsWith(QLatin1Char('/'))) {
            for (const QString &n : sourceNames(false))
                add(n, n);
        } else {
            // A name begins: functions, axes and the source's elements.
            const double version = saxon::xsltVersion(txtXSLT->utf8Text().left(64 * 1024));
            QHash<QString, QString> prefixOf;
            for (const auto &[prefix, uri] : stylesheetNamespaces())
                prefixOf.insert(uri, prefix);
            for (const xpathfn::Function &f : xpathfn::all()) {
                if (f.minVersion > version + 1e-9 || (f.extension && version >= 2.0))
                    continue;
                QString name = f.name;
                if (f.namespaceUri == xpathfn::functionsNamespace) {
                    name = f.localName();
                } else if (!f.namespaceUri.isEmpty()) {
                    // Under the prefix this stylesheet binds to its namespace; none bound, none offered.
                    const auto it = prefixOf.constFind(f.namespaceUri);
                    if (it == prefixOf.cend())
                        continue;
                    name = *it + QLatin1Char(':') + f.name.section(QLatin1Char(':'), -1);
                }
                add(name + f.signature.mid(f.signature.indexOf(QLatin1Char('('))), name + QLatin1Char('('));
            }
            for (const QString &n : declared(DKind::Function))
                add(n + QStringLiteral("()"), n + QLatin1Char('('));
            for (const char *axis : kAxes)
                add(QString::fromLatin1(axis), QString::fromLatin1(axis));
            for (const QString &n : sourceNames(false))
                add(n, n);
        }
        break;
    }
    }
    // Rows that do not begin with what was typed are of no use.
    QList<QPair<QString, QString>> shown;
    QSet<QString> seen;
    for (const auto &row : std::as_const(rows))
        if (row.first.startsWith(place.word, Qt::CaseInsensitive) && !seen.contains(row.first)) {
            seen.insert(row.first);
            shown << row;
        }
    if (shown.isEmpty())
        return false;
    m_completion.clear();
    m_completionRows.clear();
    for (const auto &[label, insert] : std::as_const(shown)) {
        m_completionRows << label;
        m_completion.insert(label, insert);
    }
    const QStringList &labels = m_completionRows;
    txtXSLT->SendScintilla(QsciScintillaBase::SCI_AUTOCSETORDER, long(QsciScintillaBase::SC_ORDER_CUSTOM));
    txtXSLT->SendScintilla(QsciScintillaBase::SCI_AUTOCSETSEPARATOR, long('\n'));
    txtXSLT->SendScintilla(QsciScintillaBase::SCI_AUTOCSETIGNORECASE, 1L);
    txtXSLT->SendScintilla(QsciScintillaBase::SCI_AUTOCSETAUTOHIDE, 1L);
    txtXSLT->SendScintilla(QsciScintillaBase::SCI_AUTOCSETDROPRESTOFWORD, 0L);
    txtXSLT->SendScintilla(QsciScintillaBase::SCI_AUTOCSETMAXHEIGHT, 12L);
    txtXSLT->SendScintilla(QsciScintillaBase::SCI_AUTOCSTOPS, 0UL, " ()[]/,=<>!|+*\"'$@{}");
    const QByteArray list = labels.join(QLatin1Char('\n')).toUtf8();
    txtXSLT->SendScintilla(QsciScintillaBase::SCI_AUTOCSHOW, static_cast<unsigned long>(place.word.toUtf8().size()), list.constData());
    return true;
}

QStringList DocumentWindow::completionRows() const
{
    return txtXSLT->SendScintilla(QsciScintillaBase::SCI_AUTOCACTIVE) && !m_completion.isEmpty() ? m_completionRows : QStringList();
}

QString DocumentWindow::hoverText(int position) const
{
    const std::optional<int> r = m_insight->isCurrent() ? m_insight->referenceAt(position) : std::nullopt;
    if (!r)
        return functionSignatureAt(position);
    const stylesheet::Model &model = m_insight->model();
    const stylesheet::Reference &ref = model.references[*r];
    if (ref.declaration >= 0 && ref.kind != RKind::Href) {
        const stylesheet::Place &at = model.declarations[ref.declaration].place;
        // The declaration's line as written, with its file when it lies in another.
        const QString line = lineText(at.file, at.line).trimmed();
        const QString where = at.file == m_insight->mainFile() ? QStringLiteral("Line %1").arg(at.line)
                                                                : QStringLiteral("%1, line %2").arg(QFileInfo(at.file).fileName()).arg(at.line);
        return where + QStringLiteral(": ") + line;
    }
    return ref.kind == RKind::Function ? functionSignatureAt(position) : QString();
}

QString DocumentWindow::functionSignatureAt(int position) const
{
    // The name around the position, when a "(" follows it: a call.
    constexpr int kReach = 256;
    const int from = std::max(0, position - kReach);
    const long fromByte = txtXSLT->bytePositionOf(from);
    const long toByte = txtXSLT->bytePositionOf(position + kReach);
    QByteArray bytes(toByte - fromByte, Qt::Uninitialized);
    if (toByte > fromByte)
        txtXSLT->SendScintilla(QsciScintillaBase::SCI_GETTEXTRANGE, fromByte, toByte, bytes.data());
    const QString around = QString::fromUtf8(bytes);
    const qsizetype at = position - from;
    if (at < 0 || at >= around.size() || !isExpressionNameChar(around[at]))
        return QString();
    qsizetype start = at;
    while (start > 0 && isExpressionNameChar(around[start - 1]))
        --start;
    qsizetype end = at;
    while (end < around.size() && isExpressionNameChar(around[end]))
        ++end;
    qsizetype paren = end;
    while (paren < around.size() && around[paren].isSpace())
        ++paren;
    if (paren >= around.size() || around[paren] != QLatin1Char('(') || (start > 0 && around[start - 1] == QLatin1Char('$')))
        return QString();
    const QString name = around.mid(start, end - start);
    QString uri;
    if (name.contains(QLatin1Char(':'))) {
        const QString prefix = name.section(QLatin1Char(':'), 0, 0);
        for (const auto &[p, u] : stylesheetNamespaces())
            if (p == prefix)
                uri = u;
        if (uri.isEmpty())
            return QString();
    }
    const double version = saxon::xsltVersion(txtXSLT->utf8Text().left(64 * 1024));
    const xpathfn::Function *f = xpathfn::find(uri, name.section(QLatin1Char(':'), -1), version);
    return f ? f->signature : QString();
}
