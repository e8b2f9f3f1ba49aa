#include "fakedialogs.h"

#include "options/optionkeys.h"

#include <QFile>
#include <QPrinter>

FakeDialogs *FakeDialogs::install()
{
    auto fake = std::make_unique<FakeDialogs>();
    FakeDialogs *raw = fake.get();
    setDialogProvider(std::move(fake));
    return raw;
}

void FakeDialogs::uninstall()
{
    setDialogProvider(nullptr);
}

QList<FakeDialogs::Call> FakeDialogs::messages() const
{
    QList<Call> out;
    for (const Call &c : calls)
        if (c.kind == QLatin1String("message"))
            out << c;
    return out;
}

FakeDialogs::Call FakeDialogs::lastMessage() const
{
    const QList<Call> m = messages();
    return m.isEmpty() ? Call{} : m.last();
}

QMessageBox::StandardButton FakeDialogs::messageBox(QWidget *, const QString &text, QMessageBox::Icon icon,
                                                   QMessageBox::StandardButtons buttons, const QString &title)
{
    calls << Call{QStringLiteral("message"), text, title, icon, QString(), buttons};
    if (!answers.isEmpty())
        return answers.dequeue();
    return !buttons || buttons.testFlag(QMessageBox::Ok) ? QMessageBox::Ok : QMessageBox::Cancel;
}

QString FakeDialogs::iconName(QMessageBox::Icon icon)
{
    switch (icon) {
    case QMessageBox::Critical: return QStringLiteral("Critical");
    case QMessageBox::Question: return QStringLiteral("Question");
    case QMessageBox::Warning: return QStringLiteral("Warning");
    case QMessageBox::Information: return QStringLiteral("Information");
    default: return QStringLiteral("NoIcon");
    }
}

QString FakeDialogs::inputBox(QWidget *, const QString &prompt, const QString &title,
                              const QString &defaultText)
{
    calls << Call{QStringLiteral("input"), prompt, title, QMessageBox::NoIcon, defaultText};
    return inputs.isEmpty() ? QString() : inputs.dequeue();
}

void FakeDialogs::fileDialog(QWidget *, CommonDialog &dlg, FileDialogMode mode)
{
    calls << Call{mode == FileDialogMode::Open ? QStringLiteral("open") : QStringLiteral("save"),
                  dlg.title, dlg.filter, QMessageBox::NoIcon, dlg.fileName};
    dlg.fileName = fileNames.isEmpty() ? QString() : fileNames.dequeue();
}

bool FakeDialogs::colorDialog(QWidget *, const QString &title, QColor &color)
{
    calls << Call{QStringLiteral("color"), title, QString(), QMessageBox::NoIcon, QString::number(Options::toBgr(color))};
    if (colors.isEmpty())
        return false;
    color = Options::toColor(colors.dequeue());
    return true;
}

bool FakeDialogs::printDialog(QWidget *, QPrinter *printer)
{
    calls << Call{QStringLiteral("print"), QString(), QString(), QMessageBox::NoIcon, QString()};
    const bool accepted = printAnswers.isEmpty() ? false : printAnswers.dequeue();
    if (accepted && !printToFile.isEmpty()) {
        printer->setOutputFormat(QPrinter::PdfFormat);
        printer->setOutputFileName(printToFile);
        printer->setCopyCount(printCopies);
    }
    return accepted;
}

void FakeDialogs::aboutBox(QWidget *, const QString &title, const QString &text)
{
    calls << Call{QStringLiteral("about"), text, title, QMessageBox::NoIcon, QString()};
}

FakeBrowser *FakeBrowser::install()
{
    auto fake = std::make_unique<FakeBrowser>();
    FakeBrowser *raw = fake.get();
    setBrowserLauncher(std::move(fake));
    return raw;
}

void FakeBrowser::uninstall()
{
    setBrowserLauncher(nullptr);
}

bool FakeBrowser::openFile(const QString &path, QString *error)
{
    QFile f(path);
    opened << Opened{path, f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray()};
    if (fail && error)
        *error = QStringLiteral("No web browser could be started.");
    return !fail;
}

bool FakeBrowser::openUrl(const QString &url)
{
    urls << url;
    return !fail;
}
