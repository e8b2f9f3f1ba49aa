#include "findreplace/findreplacehost.h"

#include "components/syntaxbox.h"
#include "platform/dialogs.h"
#include "findreplace/searchengine.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace findreplace {

namespace {

// The program shows at most one find or replace dialog; it clears itself when the dialog
// closes or goes with its owner.
QPointer<FindReplaceDialog> s_dialog;

// Cut to the length limit without leaving half of a character that needs two code units.
QString limited(const QString &text)
{
    if (text.size() <= kMaxTextLength)
        return text;
    qsizetype n = kMaxTextLength;
    if (text.at(n - 1).isHighSurrogate())
        --n;
    return text.left(n);
}

} // namespace

FindReplaceDialog::FindReplaceDialog(QWidget *owner, SyntaxBox *target, bool replaceMode, int flags,
                                     const QString &findWhat, const QString &replaceWith)
    : QDialog(owner), m_target(target), m_replaceMode(replaceMode)
{
    setObjectName(QStringLiteral("dlgFindReplace"));
    setWindowTitle(replaceMode ? QStringLiteral("Replace") : QStringLiteral("Find"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setModal(false);

    auto *fields = new QGridLayout;
    txtFindWhat = new QLineEdit(this);
    txtFindWhat->setObjectName(QStringLiteral("txtFindWhat"));
    txtFindWhat->setMaxLength(kMaxTextLength);
    txtFindWhat->setText(limited(findWhat));
    auto *lblFindWhat = new QLabel(QStringLiteral("Fi&nd what:"), this);
    lblFindWhat->setBuddy(txtFindWhat);
    fields->addWidget(lblFindWhat, 0, 0);
    fields->addWidget(txtFindWhat, 0, 1);
    if (replaceMode) {
        txtReplaceWith = new QLineEdit(this);
        txtReplaceWith->setObjectName(QStringLiteral("txtReplaceWith"));
        txtReplaceWith->setMaxLength(kMaxTextLength);
        txtReplaceWith->setText(limited(replaceWith));
        auto *lblReplaceWith = new QLabel(QStringLiteral("Re&place with:"), this);
        lblReplaceWith->setBuddy(txtReplaceWith);
        fields->addWidget(lblReplaceWith, 1, 0);
        fields->addWidget(txtReplaceWith, 1, 1);
    }

    cbxWholeWord = new QCheckBox(QStringLiteral("Match &whole word only"), this);
    cbxWholeWord->setObjectName(QStringLiteral("cbxWholeWord"));
    cbxWholeWord->setChecked(hasFlag(WholeWord, flags));
    cbxMatchCase = new QCheckBox(QStringLiteral("Match &case"), this);
    cbxMatchCase->setObjectName(QStringLiteral("cbxMatchCase"));
    cbxMatchCase->setChecked(hasFlag(MatchCase, flags));
    auto *checks = new QVBoxLayout;
    checks->addWidget(cbxWholeWord);
    checks->addWidget(cbxMatchCase);
    checks->addStretch();

    auto *options = new QHBoxLayout;
    options->addLayout(checks);
    // Replace works downwards only, so only the Find dialog offers a direction.
    optUp = new QRadioButton(QStringLiteral("&Up"), this);
    optUp->setObjectName(QStringLiteral("optUp"));
    optDown = new QRadioButton(QStringLiteral("&Down"), this);
    optDown->setObjectName(QStringLiteral("optDown"));
    (hasFlag(Down, flags) ? optDown : optUp)->setChecked(true);
    if (replaceMode) {
        optUp->hide();
        optDown->hide();
    } else {
        auto *fraDirection = new QGroupBox(QStringLiteral("Direction"), this);
        fraDirection->setObjectName(QStringLiteral("fraDirection"));
        auto *dir = new QHBoxLayout(fraDirection);
        dir->addWidget(optUp);
        dir->addWidget(optDown);
        options->addWidget(fraDirection);
    }

    auto *left = new QVBoxLayout;
    left->addLayout(fields);
    left->addLayout(options);
    left->addStretch();

    auto *buttons = new QVBoxLayout;
    auto button = [this, buttons](const char *name, const QString &text) {
        auto *b = new QPushButton(text, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoDefault(false);
        buttons->addWidget(b);
        return b;
    };
    cmdFindNext = button("cmdFindNext", QStringLiteral("&Find Next"));
    cmdFindNext->setDefault(true);
    if (replaceMode) {
        cmdReplace = button("cmdReplace", QStringLiteral("&Replace"));
        cmdReplaceAll = button("cmdReplaceAll", QStringLiteral("Replace &All"));
    }
    cmdCancel = button("cmdCancel", QStringLiteral("Cancel"));
    buttons->addStretch();

    auto *layout = new QHBoxLayout(this);
    layout->addLayout(left, 1);
    layout->addLayout(buttons);

    connect(cmdFindNext, &QPushButton::clicked, this, [this] { runCommand(FindNext); });
    if (cmdReplace) {
        connect(cmdReplace, &QPushButton::clicked, this, [this] { runCommand(Replace); });
        connect(cmdReplaceAll, &QPushButton::clicked, this, [this] { runCommand(ReplaceAll); });
    }
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(txtFindWhat, &QLineEdit::textChanged, this, &FindReplaceDialog::updateButtons);
    connect(this, &QDialog::finished, this, [this] {
        if (s_dialog == this)
            s_dialog = nullptr;
        // A control that hides an unfocused selection would not show what was found.
        if (m_target && m_target->hidesSelection())
            m_target->setFocus();
        deleteLater();
    });
    updateButtons();
    txtFindWhat->selectAll();
    txtFindWhat->setFocus();
}

int FindReplaceDialog::options() const
{
    int flags = 0;
    if (m_replaceMode || optDown->isChecked())
        flags |= Down;
    if (cbxWholeWord->isChecked())
        flags |= WholeWord;
    if (cbxMatchCase->isChecked())
        flags |= MatchCase;
    return flags;
}

void FindReplaceDialog::runCommand(int command)
{
    if (txtFindWhat->text().isEmpty())
        return;
    // The texts are read at every press: the user may have changed them since the last one.
    const QList<Notice> notices = onFindReplace(m_target, options() | command, txtFindWhat->text(),
                                                txtReplaceWith ? txtReplaceWith->text() : QString());
    for (const Notice &n : notices)
        dialogs().messageBox(this, n.text, n.icon, QMessageBox::Ok, messageTitle());
}

void FindReplaceDialog::updateButtons()
{
    const bool any = !txtFindWhat->text().isEmpty();
    for (QPushButton *b : {cmdFindNext, cmdReplace, cmdReplaceAll})
        if (b)
            b->setEnabled(any);
}

FindReplaceDialog *openDialog()
{
    return s_dialog;
}

QString initialFindText(SyntaxBox *target)
{
    if (target && target->selectionLength() >= 1)
        return limited(target->selectedText());
    return QString();
}

FindReplaceDialog *showFindReplace(QWidget *owner, SyntaxBox *target, int flags, const QString &findWhat,
                                   bool replaceMode, const QString &replaceWith)
{
    if (s_dialog || !target)
        return nullptr;
    auto *dlg = new FindReplaceDialog(owner, target, replaceMode, flags, findWhat, replaceWith);
    s_dialog = dlg;
    dlg->show();
    dlg->raise();
    dlg->activateWindow();
    return dlg;
}

} // namespace findreplace
