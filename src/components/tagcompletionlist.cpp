#include "components/tagcompletionlist.h"

#include "components/syntaxbox.h"

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QSet>
#include <QVBoxLayout>
#include <QXmlStreamReader>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr int kVisibleRows = 8;

bool isNameCharacter(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_') || c == QLatin1Char(':')
           || c == QLatin1Char('.');
}

bool matchesPrefix(const QString &name, const QString &typed)
{
    if (name.startsWith(typed, Qt::CaseInsensitive))
        return true;
    const qsizetype colon = name.indexOf(QLatin1Char(':'));
    return colon >= 0 && QStringView(name).mid(colon + 1).startsWith(typed, Qt::CaseInsensitive);
}

} // namespace

// A QObject so that it goes with the control.
struct TagCompletionList::Impl : QObject {
    explicit Impl(TagCompletionList *owner) : QObject(owner), q(owner) {}

    TagCompletionList *q;
    QPointer<SyntaxBox> editor;
    QLineEdit *filter = nullptr;
    QListWidget *list = nullptr;
    QStringList names;
    // Per element: its attributes, the required ones first.
    QHash<QString, QList<Attribute>> attributes;
    Mode mode = Mode::Elements;
    bool closing = false;

    void applyFilter(const QString &typed)
    {
        QListWidgetItem *first = nullptr;
        for (int i = 0; i < list->count(); ++i) {
            QListWidgetItem *item = list->item(i);
            const bool show = matchesPrefix(item->text(), typed);
            item->setHidden(!show);
            if (show && !first)
                first = item;
        }
        list->setCurrentItem(first);
        if (first)
            list->scrollToItem(first);
        // Nothing offered matches what is typed (a literal result element, say): the list gets
        // out of the way and the typing goes on in the editor.
        if (!first && !typed.isEmpty() && q->isVisible())
            close(false, nullptr);
    }

    // Fills the list with entries; required ones show bold.
    void fill(const QStringList &entries, const QSet<QString> &required = {})
    {
        list->clear();
        for (const QString &e : entries) {
            auto *item = new QListWidgetItem(e, list);
            if (required.contains(e)) {
                QFont bold = item->font();
                bold.setBold(true);
                item->setFont(bold);
                item->setToolTip(QStringLiteral("Required"));
            }
        }
    }

    QListWidgetItem *current() const
    {
        QListWidgetItem *item = list->currentItem();
        return item && !item->isHidden() ? item : nullptr;
    }

    // Moves the current item by steps among the items the filter lets through.
    void move(int steps)
    {
        int row = list->currentRow();
        const int dir = steps < 0 ? -1 : 1;
        int last = current() ? row : -1;
        for (int left = std::abs(steps); left > 0;) {
            row += dir;
            if (row < 0 || row >= list->count())
                break;
            if (!list->item(row)->isHidden()) {
                last = row;
                --left;
            }
        }
        if (last >= 0) {
            list->setCurrentRow(last);
            list->scrollToItem(list->item(last));
        }
    }

    // Ends a showing of the list. Choosing raises itemChosen before listClosed. Otherwise what was
    // typed into the filter goes into the editor, and the closing key (if any) after it.
    void close(bool choose, const QKeyEvent *forward)
    {
        QPointer<TagCompletionList> self(q);
        QPointer<SyntaxBox> ed = editor;
        const QString typed = filter->text();
        const QString chosen = choose && current() ? current()->text() : QString();
        closing = true;
        // Before hiding: hiding the focused filter would hand the focus to whatever is next.
        if (ed && q->isAncestorOf(QApplication::focusWidget()))
            ed->setFocus(Qt::OtherFocusReason);
        if (!chosen.isEmpty()) {
            emit q->itemChosen(chosen);
            if (!self)
                return;
        }
        q->hide();
        closing = false;
        if (chosen.isEmpty() && ed && !typed.isEmpty())
            ed->replaceSelection(typed);
        if (!self)
            return;
        emit q->listClosed();
        if (forward && ed) {
            QKeyEvent again(QEvent::KeyPress, forward->key(), forward->modifiers(), forward->text(),
                            forward->isAutoRepeat(), forward->count());
            QCoreApplication::sendEvent(ed, &again);
        }
    }
};

TagCompletionList::TagCompletionList(QWidget *parent)
    : QFrame(parent), d(new Impl(this))
{
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setAutoFillBackground(true);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(1);

    d->filter = new QLineEdit(this);
    d->filter->setObjectName(QStringLiteral("filter"));
    d->filter->setFrame(false);
    d->filter->installEventFilter(this);
    layout->addWidget(d->filter);

    d->list = new QListWidget(this);
    d->list->setObjectName(QStringLiteral("list"));
    // The filter keeps the keyboard; a click only picks the item. With the filter as the list's
    // focus proxy a click on the list finds the focus already where it belongs, instead of
    // handing it to the window around the list, which would close it.
    d->list->setFocusPolicy(Qt::NoFocus);
    d->list->setFrameShape(QFrame::NoFrame);
    d->list->setUniformItemSizes(true);
    layout->addWidget(d->list);
    d->list->setFocusProxy(d->filter);

    connect(d->filter, &QLineEdit::textEdited, d, &Impl::applyFilter);
    connect(d->list, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem *item) {
        d->list->setCurrentItem(item);
        d->close(true, nullptr);
    });
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget *, QWidget *now) {
        // Focus gone to another control closes the list; the application losing the focus
        // (now is null) leaves it open for when the user comes back.
        if (isVisible() && !d->closing && now && now != this && !isAncestorOf(now))
            d->close(false, nullptr);
    });
    hide();
}

void TagCompletionList::setEditor(SyntaxBox *editor)
{
    d->editor = editor;
}

bool TagCompletionList::loadDefinitions(const QString &path)
{
    d->names.clear();
    d->list->clear();

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QXmlStreamReader xml(&file);
    QStringList names;
    QHash<QString, QList<Attribute>> attributes;
    QString element; // the element whose attributes follow
    bool inRoot = false;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QString name = xml.attributes().value(QLatin1String("name")).toString().trimmed();
        const bool usable = !name.isEmpty() && !name.contains(QLatin1Char(' '));
        if (!inRoot) {
            if (xml.name() != QLatin1String("elements"))
                return false;
            inRoot = true;
        } else if (xml.name() == QLatin1String("element")) {
            element = usable && !names.contains(name) ? name : QString();
            if (!element.isEmpty())
                names.append(name);
        } else if (xml.name() == QLatin1String("attribute") && usable && !element.isEmpty()) {
            QList<Attribute> &list = attributes[element];
            const bool required = xml.attributes().value(QLatin1String("required")) == QLatin1String("yes");
            const bool known = std::any_of(list.cbegin(), list.cend(), [&](const Attribute &a) { return a.name == name; });
            if (!known)
                list.append({name, required});
        }
    }
    if (xml.hasError() || !inRoot)
        return false;

    // Required attributes first, each group in the file's order.
    for (QList<Attribute> &list : attributes)
        std::stable_partition(list.begin(), list.end(), [](const Attribute &a) { return a.required; });
    d->names = names;
    d->attributes = attributes;
    d->fill(names);
    return true;
}

QStringList TagCompletionList::definitions() const
{
    return d->names;
}

QList<TagCompletionList::Attribute> TagCompletionList::attributesOf(const QString &element) const
{
    return d->attributes.value(element);
}

TagCompletionList::Mode TagCompletionList::mode() const
{
    return d->mode;
}

bool TagCompletionList::showAttributeList(const QString &element, const QStringList &present)
{
    if (!d->editor)
        return false;
    QStringList offered;
    QSet<QString> required;
    for (const Attribute &a : d->attributes.value(element)) {
        if (present.contains(a.name))
            continue;
        offered << a.name;
        if (a.required)
            required.insert(a.name);
    }
    if (offered.isEmpty())
        return false;
    d->mode = Mode::Attributes;
    d->fill(offered, required);
    popUp(offered);
    return true;
}

void TagCompletionList::showTagList()
{
    if (d->names.isEmpty() || !d->editor)
        return;
    d->mode = Mode::Elements;
    d->fill(d->names);
    popUp(d->names);
}

void TagCompletionList::popUp(const QStringList &entries)
{
    d->filter->clear();
    d->applyFilter(QString());

    SyntaxBox *ed = d->editor;
    const long pos = ed->SendScintilla(QsciScintillaBase::SCI_GETCURRENTPOS);
    const long line = ed->SendScintilla(QsciScintillaBase::SCI_LINEFROMPOSITION, pos);
    const int x = int(ed->SendScintilla(QsciScintillaBase::SCI_POINTXFROMPOSITION, 0UL, pos));
    const int y = int(ed->SendScintilla(QsciScintillaBase::SCI_POINTYFROMPOSITION, 0UL, pos));
    const int lineHeight = int(ed->SendScintilla(QsciScintillaBase::SCI_TEXTHEIGHT, line));

    int longest = 0;
    for (const QString &n : entries)
        longest = std::max(longest, d->list->fontMetrics().horizontalAdvance(n));
    const int rows = std::min<int>(kVisibleRows, int(entries.size()));
    const int width = std::max(160, longest + 40);
    const int height = d->filter->sizeHint().height() + rows * d->list->sizeHintForRow(0) + 2 * frameWidth() + 4;
    resize(width, height);

    const QPoint below = ed->viewport()->mapToGlobal(QPoint(x, y + lineHeight));
    const QPoint above = ed->viewport()->mapToGlobal(QPoint(x, y - height));
    QWidget *host = parentWidget();
    if (host) {
        QPoint p = host->mapFromGlobal(below);
        // Near the bottom of the page the list opens above the caret line instead.
        if (p.y() + height > host->height())
            p.setY(std::max(0, host->mapFromGlobal(above).y()));
        p.setX(std::clamp(p.x(), 0, std::max(0, host->width() - width)));
        move(p);
    } else {
        move(below);
    }

    raise();
    show();
    d->filter->setFocus(Qt::PopupFocusReason);
}

bool TagCompletionList::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != d->filter || (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride))
        return QFrame::eventFilter(watched, event);

    auto *key = static_cast<QKeyEvent *>(event);
    const QString text = key->text();
    const bool nameText = !text.isEmpty() && std::all_of(text.begin(), text.end(), isNameCharacter);
    const bool commandKey = key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier | Qt::AltModifier);

    enum class Act { Pass, Choose, Move, Close, CloseAndForward };
    Act act = Act::Pass;
    int steps = 0;
    switch (key->key()) {
    case Qt::Key_Escape: act = Act::Close; break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Tab: act = d->current() ? Act::Choose : Act::CloseAndForward; break;
    case Qt::Key_Up: act = Act::Move; steps = -1; break;
    case Qt::Key_Down: act = Act::Move; steps = 1; break;
    case Qt::Key_PageUp: act = Act::Move; steps = -(kVisibleRows - 1); break;
    case Qt::Key_PageDown: act = Act::Move; steps = kVisibleRows - 1; break;
    case Qt::Key_Backspace:
        // Deleting past the start of the filter deletes the "<" that opened the list.
        if (d->filter->text().isEmpty())
            act = Act::CloseAndForward;
        break;
    default:
        if (!commandKey && !text.isEmpty() && text.at(0).isPrint() && !nameText)
            act = Act::CloseAndForward;
        break;
    }

    if (event->type() == QEvent::ShortcutOverride) {
        // Keys the list acts on are not shortcuts of the window behind it.
        if (act != Act::Pass) {
            event->accept();
            return true;
        }
        return false;
    }
    if (act == Act::Pass)
        return false;
    if (act == Act::Move) {
        d->move(steps);
        return true;
    }

    d->close(act == Act::Choose, act == Act::CloseAndForward ? key : nullptr);
    return true;
}
