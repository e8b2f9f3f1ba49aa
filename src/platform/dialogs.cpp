#include "dialogs.h"


#include <QColorDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
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
    int messageBox(QWidget *parent, const QString &text, int style, const QString &title) override
    {
        QMessageBox box(parent);
        box.setWindowTitle(title);
        setBoundedText(box, text);
        switch (style & 0x70) {
        case msg::Critical: box.setIcon(QMessageBox::Critical); break;
        case msg::Question: box.setIcon(QMessageBox::Question); break;
        case msg::Exclamation: box.setIcon(QMessageBox::Warning); break;
        case msg::Information: box.setIcon(QMessageBox::Information); break;
        default: box.setIcon(QMessageBox::NoIcon); break;
        }
        QList<QPair<QMessageBox::StandardButton, int>> buttons;
        switch (style & 7) {
        case msg::OkCancel: buttons = {{QMessageBox::Ok, msg::Ok}, {QMessageBox::Cancel, msg::Cancel}}; break;
        case msg::AbortRetryIgnore:
            buttons = {{QMessageBox::Abort, msg::Abort}, {QMessageBox::Retry, msg::Retry}, {QMessageBox::Ignore, msg::Ignore}};
            break;
        case msg::YesNoCancel:
            buttons = {{QMessageBox::Yes, msg::Yes}, {QMessageBox::No, msg::No}, {QMessageBox::Cancel, msg::Cancel}};
            break;
        case msg::YesNo: buttons = {{QMessageBox::Yes, msg::Yes}, {QMessageBox::No, msg::No}}; break;
        case msg::RetryCancel: buttons = {{QMessageBox::Retry, msg::Retry}, {QMessageBox::Cancel, msg::Cancel}}; break;
        default: buttons = {{QMessageBox::Ok, msg::Ok}}; break;
        }
        QMessageBox::StandardButtons set;
        for (const auto &b : buttons)
            set |= b.first;
        box.setStandardButtons(set);
        int defaultIndex = (style & msg::DefaultButton3) ? 2 : (style & msg::DefaultButton2) ? 1 : 0;
        if (defaultIndex < buttons.size())
            box.setDefaultButton(buttons[defaultIndex].first);
        // Closing the box with Escape or its close button answers Cancel where there is one.
        const bool hasCancel = set.testFlag(QMessageBox::Cancel);
        if (hasCancel)
            box.setEscapeButton(QMessageBox::Cancel);
        const int clicked = box.exec();
        for (const auto &b : buttons)
            if (b.first == clicked)
                return b.second;
        return hasCancel ? msg::Cancel : buttons.first().second;
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
