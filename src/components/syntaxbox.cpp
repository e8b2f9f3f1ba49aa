#include "components/syntaxbox.h"

#include "options/optionkeys.h"

#include "components/xmllexer.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QDropEvent>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <typeinfo>
#include <utility>

namespace {

// Lexer styles grouped as the options present them.
constexpr std::initializer_list<int> kTagStyles = {
    XmlLexer::XsltElement, XmlLexer::Element, XmlLexer::TagPunctuation, XmlLexer::PIMarker};
constexpr std::initializer_list<int> kAttribStyles = {XmlLexer::XsltAttribute, XmlLexer::Attribute};
// The value colour goes to the value and to the body of the XPath in it (name tests, operators,
// the braces of value templates), so the option still colours every value as a whole. The
// XPath kinds that make an expression readable at a glance (functions, axes, variables,
// literals, numbers) keep colours of their own: in the value colour they would not stand out,
// which is all that telling them apart is for. Bold and italic go to the value and everything
// in it.
constexpr std::initializer_list<int> kValueColourStyles = {
    XmlLexer::Value, XmlLexer::XPathName, XmlLexer::XPathOperator};
constexpr std::initializer_list<int> kValueStyles = {
    XmlLexer::Value, XmlLexer::XPathName, XmlLexer::XPathOperator, XmlLexer::XPathFunction,
    XmlLexer::XPathAxis, XmlLexer::XPathVariable, XmlLexer::XPathString, XmlLexer::XPathNumber};
constexpr std::initializer_list<int> kCommentStyles = {XmlLexer::Comment};

// Colouring more than this many bytes in one go would freeze the window noticeably; larger
// texts are coloured in slices between events.
constexpr long kColourSliceBytes = 1L << 20;

int shiftMask(Qt::KeyboardModifiers m)
{
    int mask = 0;
    if (m & Qt::ShiftModifier)
        mask |= 1;
    if (m & Qt::ControlModifier)
        mask |= 2;
    if (m & Qt::AltModifier)
        mask |= 4;
    return mask;
}

int buttonCode(Qt::MouseButton b)
{
    switch (b) {
    case Qt::LeftButton: return 1;
    case Qt::RightButton: return 2;
    case Qt::MiddleButton: return 4;
    default: return 0;
    }
}

// QScintilla's accessible interface turns the caret and the anchor into character offsets by
// counting from the start of the text at every selection change: two walks over the whole text
// per keystroke in a large document. Qt creates that interface on the first edit even when no
// assistive technology is listening. So while none listens, an editor gets a plain interface
// (the role is all anyone could ask it for); when one starts listening, the plain interfaces are
// dropped and the next query builds QScintilla's full one, text and caret included.
QAccessibleInterface *plainAccessibleWhileInactive(const QString &className, QObject *object)
{
    if (QAccessible::isActive() || className != QLatin1String(SyntaxBox::staticMetaObject.className())
        || !object || !object->isWidgetType())
        return nullptr;
    return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::EditableText);
}

class FullAccessibilityOnActivation : public QAccessible::ActivationObserver
{
public:
    void accessibilityActiveChanged(bool active) override
    {
        if (!active)
            return;
        for (QWidget *w : QApplication::allWidgets()) {
            if (!qobject_cast<SyntaxBox *>(w))
                continue;
            QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(w);
            if (iface && typeid(*iface) == typeid(QAccessibleWidget))
                QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(iface));
        }
    }
};

// Runs after QScintilla has installed its own factory: factories installed later are asked first.
// Both stay for as long as the application object lives and go with it.
FullAccessibilityOnActivation *g_observer = nullptr;

void removePlainAccessibility()
{
    QAccessible::removeFactory(plainAccessibleWhileInactive);
    QAccessible::removeActivationObserver(g_observer);
    delete g_observer;
    g_observer = nullptr;
}

void installPlainAccessibility()
{
    if (g_observer)
        return;
    QAccessible::installFactory(plainAccessibleWhileInactive);
    g_observer = new FullAccessibilityOnActivation;
    QAccessible::installActivationObserver(g_observer);
    qAddPostRoutine(removePlainAccessibility);
}

} // namespace

struct SyntaxBox::Impl {
    SyntaxBox *q;
    XmlLexer *lexer = nullptr;
    QFont font;
    bool autoColorize = true;
    bool lexerAttached = true;
    bool propnamebold = true;
    bool commentitalic = false;

    // Several Scintilla modifications made by one call of ours or one user event are reported
    // as one change: they are collected while a scope is open and reported when it closes.
    int scopeDepth = 0;
    bool changePending = false;

    long lastCaret = 0;
    long lastAnchor = 0;

    QTimer colourTimer;
    QList<QMetaObject::Connection> connections;

    // The whole text as UTF-8, made once per state of a large text and shared by everyone who
    // asks for it meanwhile (the parse, the compile check, the recovery copy, the outline...),
    // instead of a copy each. Dropped at the next change, or a while after it was made.
    QByteArray snapshot;
    bool snapshotValid = false;
    QTimer snapshotDrop;

    explicit Impl(SyntaxBox *box) : q(box) {}

    void dropSnapshot()
    {
        snapshotValid = false;
        snapshotDrop.stop();
        // Giving a large block back to the system takes a while: the first key after a pause
        // must not wait for it.
        if (snapshot.isDetached() && snapshot.size() >= kFreeBesideBytes)
            QThreadPool::globalInstance()->start([text = std::exchange(snapshot, QByteArray())] { (void)text; });
        else
            snapshot = QByteArray();
    }
    static constexpr qsizetype kFreeBesideBytes = 8 << 20;

    long send(unsigned int msg, unsigned long w = 0, long l = 0) const
    {
        return q->SendScintilla(msg, w, l);
    }

    // Scintilla counts code units by walking the bytes; its UTF-16 line index turns that into
    // a walk within one line, which keeps positions cheap in a large text.
    long byteLength() const { return send(SCI_GETLENGTH); }
    long unitsBefore(long bytePos) const
    {
        const long line = send(SCI_LINEFROMPOSITION, bytePos);
        return send(SCI_INDEXPOSITIONFROMLINE, line, SC_LINECHARACTERINDEX_UTF16)
               + send(SCI_COUNTCODEUNITS, send(SCI_POSITIONFROMLINE, line), bytePos);
    }
    long unitLength() const { return unitsBefore(byteLength()); }
    long byteAt(long units) const
    {
        if (units <= 0)
            return 0;
        if (units >= unitLength())
            return byteLength();
        const long line = send(SCI_LINEFROMINDEXPOSITION, units, SC_LINECHARACTERINDEX_UTF16);
        const long lineUnits = send(SCI_INDEXPOSITIONFROMLINE, line, SC_LINECHARACTERINDEX_UTF16);
        return send(SCI_POSITIONRELATIVECODEUNITS, send(SCI_POSITIONFROMLINE, line), units - lineUnits);
    }
    long unitsBetween(long fromByte, long toByte) const { return unitsBefore(toByte) - unitsBefore(fromByte); }

    // A change is about to be made. Inside a scope it is reported when the scope ends; a change
    // made by a bare call outside any is reported as soon as the call has returned.
    bool changeQueued = false;

    void textModified()
    {
        if (scopeDepth > 0) {
            changePending = true;
            return;
        }
        if (changeQueued)
            return;
        changeQueued = true;
        QMetaObject::invokeMethod(q, [box = QPointer<SyntaxBox>(q), this] {
            if (!box)
                return;
            changeQueued = false;
            emit q->changed();
        }, Qt::QueuedConnection);
    }

    void checkCaret()
    {
        const long caret = send(SCI_GETCURRENTPOS);
        const long anchor = send(SCI_GETANCHOR);
        if (caret == lastCaret && anchor == lastAnchor)
            return;
        lastCaret = caret;
        lastAnchor = anchor;
        emit q->caretMoved();
    }

    void applyStyle(std::initializer_list<int> styles, auto &&change)
    {
        for (int style : styles) {
            QFont f = lexer->font(style);
            change(f);
            lexer->setFont(f, style);
        }
    }
    void setBold(std::initializer_list<int> styles, bool on)
    {
        applyStyle(styles, [on](QFont &f) { f.setBold(on); });
    }
    void setItalic(std::initializer_list<int> styles, bool on)
    {
        applyStyle(styles, [on](QFont &f) { f.setItalic(on); });
    }
    void setColour(std::initializer_list<int> styles, long bgr)
    {
        for (int style : styles)
            lexer->setColor(Options::toColor(bgr), style);
    }

    // Family and size go to every style at once; each style keeps its own bold and italic.
    void applyFont()
    {
        for (int style = 0; style <= QsciScintillaBase::STYLE_MAX; ++style) {
            if (lexer->description(style).isEmpty())
                continue;
            QFont f = lexer->font(style);
            f.setFamily(font.family());
            f.setPointSizeF(font.pointSizeF());
            lexer->setFont(f, style);
        }
        lexer->setDefaultFont(font);
        q->setMarginsFont(font);
        emit q->fontChanged();
    }

    // With live colouring off the document keeps the styles it has and new text stays plain:
    // Scintilla asks for styling, and the lexer does not answer. Idle styling would ask again
    // and again for as long as the text is not styled to its end, so it pauses meanwhile.
    void detachLexer()
    {
        if (!lexerAttached)
            return;
        lexer->setActive(false);
        send(SCI_SETIDLESTYLING, SC_IDLESTYLING_NONE);
        lexerAttached = false;
    }

    void attachLexer()
    {
        if (lexerAttached)
            return;
        lexer->setActive(true);
        send(SCI_SETIDLESTYLING, SC_IDLESTYLING_ALL);
        lexerAttached = true;
    }

    void colourise(long from, long to)
    {
        const bool wasAttached = lexerAttached;
        attachLexer();
        send(SCI_COLOURISE, static_cast<unsigned long>(from), to);
        if (!wasAttached)
            detachLexer();
    }

    // One slice of the background colouring; runs again until the text is coloured to the end.
    // Everything before Scintilla's styled mark is already right, so each slice starts there.
    void colourNextSlice()
    {
        const long end = byteLength();
        const long from = send(SCI_GETENDSTYLED);
        if (from >= end)
            return;
        const long to = std::min(end, from + kColourSliceBytes);
        colourise(from, to);
        if (to < end)
            colourTimer.start();
        q->viewport()->update();
    }

    // Scope of one call or one event: at its end, one changed() for whatever it modified and
    // one caretMoved() if the caret or the selection moved.
    class Scope
    {
    public:
        Scope(SyntaxBox *box, Impl *d) : m_box(box), m_d(d), m_outerPending(d->changePending)
        {
            ++m_d->scopeDepth;
            m_d->changePending = false;
        }
        ~Scope()
        {
            if (!m_box)
                return; // destroyed by a handler while the event was being delivered
            const bool changed = m_d->changePending;
            m_d->changePending = m_outerPending;
            --m_d->scopeDepth;
            if (changed)
                emit m_box->changed();
            if (m_box)
                m_d->checkCaret();
        }
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;

    private:
        QPointer<SyntaxBox> m_box;
        Impl *m_d;
        bool m_outerPending;
    };
};

QFont SyntaxBox::defaultFont()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    // The size a settings store can hold and the options dialog can show: whole points.
    font.setPointSizeF(std::max(6.0, std::round(font.pointSizeF())));
    return font;
}

SyntaxBox::SyntaxBox(QWidget *parent)
    : QsciScintilla(parent), d(new Impl(this))
{
    installPlainAccessibility();
    setUtf8(true);
    SendScintilla(SCI_ALLOCATELINECHARACTERINDEX, SC_LINECHARACTERINDEX_UTF16);
    // Painting colours only what it can in a moment; the rest follows in idle time.
    SendScintilla(SCI_SETIDLESTYLING, SC_IDLESTYLING_ALL);

    d->lexer = new XmlLexer(this);
    d->font = defaultFont();
    d->font.setWeight(QFont::Normal);
    d->font.setBold(false);
    d->font.setItalic(false);
    d->applyFont();
    d->setColour(kTagStyles, Options::TagColor.fallbackNumber());
    d->setColour(kAttribStyles, Options::AttribColor.fallbackNumber());
    d->setColour(kValueColourStyles, Options::AttribValueColor.fallbackNumber());
    d->setBold(kAttribStyles, d->propnamebold);
    d->setItalic(kCommentStyles, d->commentitalic);
    setLexer(d->lexer);
    setMarginWidth(1, 0);

    d->colourTimer.setSingleShot(true);
    d->colourTimer.setInterval(0);
    connect(&d->colourTimer, &QTimer::timeout, this, [this] { d->colourNextSlice(); });
    d->snapshotDrop.setSingleShot(true);
    d->snapshotDrop.setInterval(kSnapshotKeepMs);
    connect(&d->snapshotDrop, &QTimer::timeout, this, [this] { d->dropSnapshot(); });

    // QScintilla answers every insertion and deletion it is told of by counting the characters
    // from the top of the text to the change, for its accessibility events: 15 ms a key in a
    // 10 MB text. It is told only that a change is coming (and of fold changes it needs), so
    // that walk never runs; the change itself is reported once the scope of the call or event
    // that made it ends.
    SendScintilla(SCI_SETMODEVENTMASK, static_cast<unsigned long>(SC_MOD_BEFOREINSERT | SC_MOD_BEFOREDELETE | SC_MOD_CHANGEFOLD));
    d->connections << connect(this, &QsciScintillaBase::SCN_MODIFIED, this, [this](int, int type) {
        if (type & (SC_MOD_BEFOREINSERT | SC_MOD_BEFOREDELETE)) {
            d->dropSnapshot();
            d->textModified();
        }
    });
    d->connections << connect(this, &QsciScintillaBase::SCN_UPDATEUI, this, [this](int) {
        if (d->scopeDepth == 0)
            d->checkCaret();
    });
}

SyntaxBox::~SyntaxBox()
{
    // QScintilla's own teardown still sends notifications; they must not reach a deleted Impl.
    for (const QMetaObject::Connection &c : std::as_const(d->connections))
        disconnect(c);
    d->colourTimer.stop();
    delete d;
    d = nullptr;
}

QByteArray SyntaxBox::utf8Text() const
{
    // Copied around the editor's gap: asking for one contiguous buffer would move the gap to
    // the end and back at the next keystroke, two large moves per key in a big text.
    if (d->snapshotValid)
        return d->snapshot;
    const long length = SendScintilla(SCI_GETLENGTH);
    QByteArray out(length, Qt::Uninitialized);
    if (length > 0)
        SendScintilla(SCI_GETTEXTRANGE, 0L, length, out.data());
    if (length >= kSnapshotBytes) {
        d->snapshot = out;
        d->snapshotValid = true;
        d->snapshotDrop.start();
    }
    return out;
}

long SyntaxBox::bytePositionOf(int position) const
{
    return d->byteAt(position);
}

int SyntaxBox::characterPositionOf(long bytePosition) const
{
    return int(d->unitsBefore(std::clamp(bytePosition, 0L, d->byteLength())));
}

void SyntaxBox::setText(const QString &text)
{
    Impl::Scope scope(this, d);
    QsciScintilla::setText(text);
    // Even a write that leaves the text as it was counts: the caller treats it as a new text.
    d->changePending = true;
}

int SyntaxBox::selectionStart() const
{
    return int(d->unitsBefore(d->send(SCI_GETSELECTIONSTART)));
}

void SyntaxBox::setSelectionStart(int pos)
{
    Impl::Scope scope(this, d);
    SendScintilla(SCI_GOTOPOS, d->byteAt(pos));
}

int SyntaxBox::selectionLength() const
{
    return int(d->unitsBetween(d->send(SCI_GETSELECTIONSTART), d->send(SCI_GETSELECTIONEND)));
}

void SyntaxBox::setSelectionLength(int len)
{
    Impl::Scope scope(this, d);
    const int start = selectionStart();
    const long anchor = d->byteAt(start);
    const long caret = d->byteAt(start + std::max(0, len));
    SendScintilla(SCI_SETSEL, anchor, caret);
}

void SyntaxBox::replaceSelection(const QString &text)
{
    Impl::Scope scope(this, d);
    SendScintilla(SCI_REPLACESEL, 0UL, text.toUtf8().constData());
    SendScintilla(SCI_SCROLLCARET);
}

bool SyntaxBox::hidesSelection() const
{
    return false;
}

QString SyntaxBox::fontName() const
{
    return QFontInfo(d->font).family();
}

void SyntaxBox::setFontName(const QString &name)
{
    const QString family = name.trimmed();
    if (family.isEmpty())
        return;
    d->font.setFamily(family);
    d->applyFont();
}

QString SyntaxBox::fontSize() const
{
    return QString::number(d->font.pointSizeF(), 'g', 6);
}

void SyntaxBox::setFontSize(const QString &points)
{
    const QString t = points.trimmed();
    bool ok = false;
    double size = QLocale::c().toDouble(t, &ok);
    if (!ok)
        size = QLocale().toDouble(t, &ok);
    if (!ok || !std::isfinite(size) || size <= 0 || size > 1000)
        throw std::invalid_argument(
            QStringLiteral("Invalid font size \"%1\": enter a number of points, such as 8.25 or 10.")
                .arg(points).toStdString());
    d->font.setPointSizeF(size);
    d->applyFont();
}

double SyntaxBox::fontPointSize() const
{
    return d->font.pointSizeF();
}

bool SyntaxBox::autoColorize() const
{
    return d->autoColorize;
}

void SyntaxBox::setAutoColorize(bool on)
{
    if (on == d->autoColorize)
        return;
    d->autoColorize = on;
    if (on) {
        d->attachLexer();
        // Text typed while colouring was off is coloured when it is next painted.
        viewport()->update();
    } else {
        d->detachLexer();
    }
}

void SyntaxBox::colorizeAll()
{
    d->colourTimer.stop();
    const long end = d->byteLength();
    if (end <= kColourSliceBytes) {
        d->colourise(0, end);
        viewport()->update();
        return;
    }
    // The top of the text now (that is what a freshly loaded text shows), the rest in slices
    // between events. Painting meanwhile colours only what it can in a moment.
    d->colourNextSlice();
}

void SyntaxBox::clearUndoHistory()
{
    SendScintilla(SCI_EMPTYUNDOBUFFER);
}

int SyntaxBox::currentLine() const
{
    return int(d->send(SCI_LINEFROMPOSITION, d->send(SCI_GETCURRENTPOS)));
}

int SyntaxBox::currentColumn() const
{
    const long caret = d->send(SCI_GETCURRENTPOS);
    const long lineStart = d->send(SCI_POSITIONFROMLINE, d->send(SCI_LINEFROMPOSITION, caret));
    return int(d->send(SCI_COUNTCODEUNITS, lineStart, caret)) + 1;
}

bool SyntaxBox::canUndo() const
{
    return d->send(SCI_CANUNDO);
}

bool SyntaxBox::canRedo() const
{
    return d->send(SCI_CANREDO);
}

bool SyntaxBox::canCut() const
{
    return canCopy() && !isReadOnly();
}

bool SyntaxBox::canCopy() const
{
    return d->send(SCI_GETSELECTIONEND) > d->send(SCI_GETSELECTIONSTART);
}

namespace {
// Whether the clipboard holds text, asked of the window system once per change of the
// clipboard: the question is a round trip to the X server, and the edit actions' state asks it
// after every key.
bool clipboardHasText()
{
    static std::optional<bool> known;
    static const bool watching = [] {
        QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, qApp, [] { known.reset(); });
        return true;
    }();
    (void)watching;
    if (!known) {
        const QMimeData *data = QGuiApplication::clipboard()->mimeData();
        known = data && data->hasText() && !data->text().isEmpty();
    }
    return *known;
}
} // namespace

bool SyntaxBox::canPaste() const
{
    return d->send(SCI_CANPASTE) && clipboardHasText();
}

// QScintilla's own slots (reached from its context menu and by anyone holding a
// QsciScintilla pointer) and ours are one and the same: each reports its change once.
void SyntaxBox::cut()
{
    Impl::Scope scope(this, d);
    SendScintilla(SCI_CUT);
}

void SyntaxBox::paste()
{
    Impl::Scope scope(this, d);
    SendScintilla(SCI_PASTE);
}

void SyntaxBox::undo()
{
    Impl::Scope scope(this, d);
    SendScintilla(SCI_UNDO);
}

void SyntaxBox::redo()
{
    Impl::Scope scope(this, d);
    SendScintilla(SCI_REDO);
}


void SyntaxBox::setTagColor(long color) { d->setColour(kTagStyles, color); }
void SyntaxBox::setTagBold(bool on) { d->setBold(kTagStyles, on); }
void SyntaxBox::setTagItalic(bool on) { d->setItalic(kTagStyles, on); }
void SyntaxBox::setAttribColor(long color) { d->setColour(kAttribStyles, color); }
void SyntaxBox::setAttribBold(bool on) { d->setBold(kAttribStyles, on); }
void SyntaxBox::setAttribItalic(bool on) { d->setItalic(kAttribStyles, on); }
void SyntaxBox::setAttribValueColor(long color) { d->setColour(kValueColourStyles, color); }
void SyntaxBox::setAttribValueBold(bool on) { d->setBold(kValueStyles, on); }
void SyntaxBox::setAttribValueItalic(bool on) { d->setItalic(kValueStyles, on); }

bool SyntaxBox::propnamebold() const
{
    return d->propnamebold;
}

void SyntaxBox::setPropnamebold(bool on)
{
    d->propnamebold = on;
    d->setBold(kAttribStyles, on);
}

bool SyntaxBox::commentitalic() const
{
    return d->commentitalic;
}

void SyntaxBox::setCommentitalic(bool on)
{
    d->commentitalic = on;
    d->setItalic(kCommentStyles, on);
}

bool SyntaxBox::event(QEvent *e)
{
    // Ctrl+V belongs to the editor, not to a window's Paste shortcut: the editor pastes once
    // through its own key handling.
    // QsciScintilla claims the keys it has commands for while the text is writable; Paste is
    // claimed here in every state so the window's shortcut never runs in its place.
    if (e->type() == QEvent::ShortcutOverride && static_cast<QKeyEvent *>(e)->matches(QKeySequence::Paste)) {
        e->accept();
        return true;
    }
    if (!d)
        return QsciScintilla::event(e);
    Impl::Scope scope(this, d);
    return QsciScintilla::event(e);
}

bool SyntaxBox::viewportEvent(QEvent *e)
{
    // Files dragged from a file manager are to be opened, not typed in as their names.
    if (e->type() == QEvent::DragEnter || e->type() == QEvent::DragMove || e->type() == QEvent::Drop) {
        auto *drop = static_cast<QDropEvent *>(e);
        if (drop->mimeData()->hasUrls()) {
            drop->acceptProposedAction();
            if (e->type() == QEvent::Drop)
                emit urlsDropped(drop->mimeData()->urls());
            return true;
        }
    }
    // Mouse, drop and context-menu edits arrive through the viewport.
    if (!d)
        return QsciScintilla::viewportEvent(e);
    Impl::Scope scope(this, d);
    return QsciScintilla::viewportEvent(e);
}

void SyntaxBox::focusInEvent(QFocusEvent *e)
{
    QsciScintilla::focusInEvent(e);
    emit focusReceived();
}

void SyntaxBox::keyPressEvent(QKeyEvent *e)
{
    const QString typed = e->text();
    const bool command = e->modifiers() & (Qt::ControlModifier | Qt::MetaModifier);
    const QList<uint> chars = typed.toUcs4();
    if (command || isReadOnly() || chars.size() != 1 || !QChar::isPrint(chars.first())) {
        QsciScintilla::keyPressEvent(e);
        return;
    }

    int code = int(chars.first());
    QPointer<SyntaxBox> alive(this);
    emit characterTyped(code);
    if (!alive)
        return;
    if (code == 0) {
        e->accept();
        return;
    }
    if (code == int(chars.first())) {
        QsciScintilla::keyPressEvent(e);
        return;
    }
    // A substitute character: a key that maps to no editor command, carrying the new text.
    const char32_t c = char32_t(code);
    QKeyEvent substitute(QEvent::KeyPress, Qt::Key_unknown, e->modifiers(), QString::fromUcs4(&c, 1),
                         e->isAutoRepeat());
    QsciScintilla::keyPressEvent(&substitute);
    e->setAccepted(substitute.isAccepted());
}

void SyntaxBox::keyReleaseEvent(QKeyEvent *e)
{
    QsciScintilla::keyReleaseEvent(e);
    if (!e->isAutoRepeat())
        emit keyReleased(e->key(), shiftMask(e->modifiers()));
}

void SyntaxBox::mouseReleaseEvent(QMouseEvent *e)
{
    QsciScintilla::mouseReleaseEvent(e);
    const QPoint p = viewport()->mapTo(this, e->position().toPoint());
    emit mouseReleased(buttonCode(e->button()), shiftMask(e->modifiers()), p.x(), p.y());
}

QByteArrayView SyntaxBox::textBeforeCaret(long bytes) const
{
    const long caret = const_cast<SyntaxBox *>(this)->SendScintilla(SCI_GETCURRENTPOS);
    const long start = std::clamp(caret - bytes, 0L, caret);
    const auto *p = reinterpret_cast<const char *>(
        const_cast<SyntaxBox *>(this)->SendScintilla(SCI_GETRANGEPOINTER, static_cast<unsigned long>(start), caret - start));
    return p ? QByteArrayView(p, caret - start) : QByteArrayView();
}

void SyntaxBox::selectSpan(int line, int column, int length)
{
    const long lineStart = SendScintilla(SCI_POSITIONFROMLINE, std::max(0, line - 1));
    if (lineStart < 0)
        return;
    long from = lineStart;
    long to = SendScintilla(SCI_GETLINEENDPOSITION, std::max(0, line - 1));
    if (column > 0) {
        from = SendScintilla(SCI_POSITIONRELATIVECODEUNITS, lineStart, column - 1);
        to = SendScintilla(SCI_POSITIONRELATIVECODEUNITS, from, std::max(0, length));
    }
    SendScintilla(SCI_ENSUREVISIBLEENFORCEPOLICY, std::max(0, line - 1));
    SendScintilla(SCI_SETSEL, to, from);
    SendScintilla(SCI_SCROLLRANGE, to, from);
}
