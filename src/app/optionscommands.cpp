#include "app/frmmdimain.h"

#include "common/common.h"
#include "document/frmeditor.h"
#include "options/frmoptions.h"
#include "options/settingsstore.h"

#include <memory>

void frmMDIMain::showOptions()
{
    auto dialog = std::make_unique<frmOptions>(this);
    dialog->exec();
    const bool canceled = dialog->blnCanceled;
    // Gone before anything is applied, so an error box raised while applying has the main
    // window, not a closed dialog, as its owner.
    dialog.reset();
    if (!canceled)
        applyOptions();
}

void frmMDIMain::setChildWindowFonts()
{
    const QString section = QString::fromLatin1(SettingsStore::OptionsSection);
    auto read = [&section](const char *key, const QString &defaultValue) {
        return SettingsStore::read(section, QString::fromLatin1(key), defaultValue);
    };
    auto color = [&](const char *key, long defaultValue) {
        return SettingsConvert::toInt32(read(key, QString::number(defaultValue)), QString::fromLatin1(key));
    };
    auto flag = [&](const char *key, long defaultValue) {
        return SettingsConvert::toBoolean(read(key, QString::number(defaultValue)), QString::fromLatin1(key));
    };

    try {
        for (const QPointer<frmEditor> &doc : documents()) {
            if (!doc)
                continue;
            for (SyntaxBox *ctl : {doc->txtXSLT, doc->txtXML}) {
                // Every value is read afresh per control: the store, not the dialog, is the truth.
                ctl->setFontName(read("FontName", QString()));
                // No stored size yet (the dialog was closed before anything was saved) keeps the
                // control's size instead of failing on an empty text.
                const QString size = read("FontSize", QString());
                if (!size.trimmed().isEmpty())
                    ctl->setFontSize(size);
                ctl->setTagColor(color("TagColor", 16711680));
                ctl->setTagBold(flag("TagBold", 0));
                ctl->setTagItalic(flag("TagItalic", 0));
                ctl->setAttribColor(color("AttribColor", 8388608));
                ctl->setAttribBold(flag("AttribBold", 0));
                ctl->setAttribItalic(flag("AttribItalic", 0));
                ctl->setAttribValueColor(color("AttibValueColor", 128));
                ctl->setAttribValueBold(flag("AttibValueBold", 0));
                ctl->setAttribValueItalic(flag("AttibValueItalic", 0));
                ctl->ColorizeAll();
            }
            doc->blnAutoParse = flag("AutoParse", 1);
            doc->setRunPreviewScripts(flag("RunPreviewScripts", 0));
        }
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()), QStringLiteral("Error Child Window Fonts"));
    }
}
