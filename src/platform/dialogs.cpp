#include "dialogs.h"


#include <QColorDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QPrintDialog>
#include <QPrinter>

#include <algorithm>

namespace {

// A message box must fit on the screen whatever it is asked to say: a long report shows its
// beginning, and the whole of it in the box's scrollable details.
void setBoundedText(QMessageBox &box, const QString &text)
{
    constexpr int kMaxLines = 12;
    constexpr int kMaxLineChars = 300;
    constexpr int kMaxChars = 2000;
    const QStringList lines = text.split(QLatin1Char('\n'));
    const bool long_ = lines.size() > kMaxLines + 1 || text.size() > kMaxChars
                       || std::any_of(lines.begin(), lines.end(), [](const QString &l) { return l.size() > kMaxLineChars; });
    if (!long_) {
        box.setText(text);
        return;
    }
    QStringList head;
    int chars = 0;
    for (const QString &line : lines) {
        if (head.size() == kMaxLines || chars >= kMaxChars)
            break;
        head << (line.size() > kMaxLineChars ? line.left(kMaxLineChars) + QStringLiteral("\u2026") : line);
        chars += int(head.last().size());
    }
    head << QStringLiteral("\u2026 (the whole text is under Show Details)");
    box.setText(head.join(QLatin1Char('\n')));
    box.setDetailedText(text);
}

class QtDialogs : public DialogProvider
{
public:
    QMessageBox::StandardButton messageBox(QWidget *parent, const QString &text, QMessageBox::Icon icon,
                                           QMessageBox::StandardButtons buttons, const QString &title) override
    {
        QMessageBox box(parent);
        box.setWindowTitle(title);
        setBoundedText(box, text);
        box.setIcon(icon);
        if (!buttons)
            buttons = QMessageBox::Ok;
        box.setStandardButtons(buttons);
        // The first button, in the order of StandardButton, is the default: Ok, Yes.
        for (quint32 b = QMessageBox::FirstButton; b <= QMessageBox::LastButton; b <<= 1)
            if (buttons.testFlag(QMessageBox::StandardButton(b))) {
                box.setDefaultButton(QMessageBox::StandardButton(b));
                break;
            }
        const bool hasCancel = buttons.testFlag(QMessageBox::Cancel);
        if (hasCancel)
            box.setEscapeButton(QMessageBox::Cancel);
        const auto clicked = QMessageBox::StandardButton(box.exec());
        if (buttons.testFlag(clicked))
            return clicked;
        return hasCancel ? QMessageBox::Cancel : box.standardButton(box.defaultButton());
    }

    QString inputBox(QWidget *parent, const QString &prompt, const QString &title,
                     const QString &defaultText) override
    {
        bool ok = false;
        const QString text = QInputDialog::getText(parent, title, prompt, QLineEdit::Normal, defaultText, &ok);
        return ok ? text : QString();
    }

    void fileDialog(QWidget *parent, CommonDialog &dlg, FileDialogMode mode) override
    {
        const QString filter = qtFileFilter(dlg.filter);
        if (mode == FileDialogMode::Open)
            dlg.fileName = QFileDialog::getOpenFileName(parent, dlg.title, dlg.fileName, filter);
        else
            dlg.fileName = QFileDialog::getSaveFileName(parent, dlg.title, dlg.fileName, filter);
    }

    bool colorDialog(QWidget *parent, const QString &title, QColor &color) override
    {
        const QColor c = QColorDialog::getColor(color, parent, title);
        if (!c.isValid())
            return false;
        color = c;
        return true;
    }

    bool printDialog(QWidget *parent, QPrinter *printer) override
    {
        QPrintDialog dlg(printer, parent);
        return dlg.exec() == QDialog::Accepted;
    }

    void aboutBox(QWidget *parent, const QString &title, const QString &text) override
    {
        QMessageBox::about(parent, title, text);
    }
};

std::unique_ptr<DialogProvider> &provider()
{
    static std::unique_ptr<DialogProvider> p;
    return p;
}

} // namespace

DialogProvider &dialogs()
{
    if (!provider())
        provider() = std::make_unique<QtDialogs>();
    return *provider();
}

void setDialogProvider(std::unique_ptr<DialogProvider> p)
{
    provider() = std::move(p);
}

QString qtFileFilter(const QString &filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        QString desc = parts[i];
        // The description often carries its own patterns in brackets already.
        if (desc.contains(QLatin1Char('(')))
            out << desc.left(desc.indexOf(QLatin1Char('('))).trimmed() + QStringLiteral(" (") + patterns + QLatin1Char(')');
        else
            out << desc + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return out.join(QStringLiteral(";;"));
}
