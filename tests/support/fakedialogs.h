#pragma once

#include "platform/browserlauncher.h"
#include "platform/dialogs.h"

#include <QList>
#include <QQueue>
#include <QByteArray>
#include <QStringList>
#include <QString>
#include <QVariant>

// A scripted stand-in for every modal dialog: records each call and answers from queues.
// An unscripted message box answers OK (or Cancel when it has no OK button), an unscripted
// input box or file dialog answers as if cancelled.
class FakeDialogs : public DialogProvider
{
public:
    struct Call {
        QString kind;  // "message", "input", "open", "save", "color", "print", "about"
        QString text;  // message text, prompt, or dialog title
        QString title; // message or input box title, or file filter
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QString defaultText;
        QMessageBox::StandardButtons buttons;
    };
    // "Critical", "Question", "Warning", "Information" or "NoIcon".
    static QString iconName(QMessageBox::Icon icon);

    // Installs a fresh fake as the program's dialog provider and returns it.
    static FakeDialogs *install();
    static void uninstall();

    QList<Call> calls;
    QQueue<QMessageBox::StandardButton> answers; // message box answers
    QQueue<QString> inputs;     // input box answers
    QQueue<QString> fileNames;  // file dialog answers
    QQueue<long> colors;        // colour dialog answers (0x00BBGGRR); empty means cancelled
    QQueue<bool> printAnswers;  // print dialog answers
    QString printToFile;        // when set, an accepted print dialog prints to this PDF file
    int printCopies = 1;        // and asks for this many copies

    QList<Call> messages() const;
    Call lastMessage() const;

    QMessageBox::StandardButton messageBox(QWidget *parent, const QString &text, QMessageBox::Icon icon,
                                           QMessageBox::StandardButtons buttons, const QString &title) override;
    QString inputBox(QWidget *parent, const QString &prompt, const QString &title,
                     const QString &defaultText) override;
    void fileDialog(QWidget *parent, CommonDialog &dlg, FileDialogMode mode) override;
    bool colorDialog(QWidget *parent, const QString &title, QColor &color) override;
    bool printDialog(QWidget *parent, QPrinter *printer) override;
    void aboutBox(QWidget *parent, const QString &title, const QString &text) override;
};

// Records every file handed to the browser together with its contents at that moment.
class FakeBrowser : public BrowserLauncher
{
public:
    struct Opened {
        QString path;
        QByteArray contents;
    };
    static FakeBrowser *install();
    static void uninstall();

    QList<Opened> opened;
    QStringList urls;
    bool fail = false;

    bool openFile(const QString &path, QString *error) override;
    bool openUrl(const QString &url) override;
};
