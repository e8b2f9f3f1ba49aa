#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Top-level parameters of a stylesheet: the ones it declares (with those of the stylesheets it
// includes and imports from local files) and the values the user gives them for a run.
namespace params {

// A value for one parameter: a string as typed, or an XPath expression the processor evaluates
// against the source.
struct Value {
    QString name;
    QString value;
    bool xpath = false;
    bool operator==(const Value &) const = default;
};

// A parameter a stylesheet declares at its top level.
struct Declared {
    QString name;
    QString defaultText; // the select expression, or a one-line summary of the content
    QString file;        // the stylesheet that declares it, as its path or URL
    bool operator==(const Declared &) const = default;
};

// The parameters stylesheetUtf8 declares, then those of the stylesheets it includes and imports
// from local files (followed to any depth, each read once, at most maxFiles files), each name
// once: the first declaration in that order wins, as the importing stylesheet's does. Files
// that cannot be read or are not well-formed are passed over.
QList<Declared> declaredIn(const QByteArray &stylesheetUtf8, const QString &base, int maxFiles = 400);

// Values as stored in the settings (JSON) and back; text that is no such list gives none.
QString toText(const QList<Value> &values);
QList<Value> fromText(const QString &text);

} // namespace params
