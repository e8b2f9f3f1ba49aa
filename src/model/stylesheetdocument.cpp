#include "model/stylesheetdocument.h"

StylesheetDocument::StylesheetDocument(QObject *parent)
    : QObject(parent)
{
}

QString StylesheetDocument::fileName(Text text) const
{
    return part(text).fileName;
}

void StylesheetDocument::setFileName(Text text, const QString &fileName)
{
    if (part(text).fileName == fileName)
        return;
    part(text).fileName = fileName;
    emit fileNameChanged(text);
}

bool StylesheetDocument::isChanged(Text text) const
{
    return part(text).changed;
}

void StylesheetDocument::setChanged(Text text, bool changed)
{
    if (part(text).changed == changed)
        return;
    part(text).changed = changed;
    emit changedStateChanged(text, changed);
}

StylesheetDocument::Verdict StylesheetDocument::verdict(Text text) const
{
    return part(text).verdict;
}

XmlDocument::ParseError StylesheetDocument::parseError(Text text) const
{
    return part(text).error;
}

void StylesheetDocument::setChecking(Text text)
{
    if (part(text).verdict == Verdict::Checking)
        return;
    part(text).verdict = Verdict::Checking;
    emit verdictChanged(text);
}

void StylesheetDocument::setParsed(Text text, const XmlDocument::ParseError &error)
{
    Part &p = part(text);
    p.error = error;
    p.verdict = error.code == 0 ? Verdict::WellFormed : Verdict::Malformed;
    emit verdictChanged(text);
}
