#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

// One problem (or message) a parse, a compilation or a transformation reported, at its place.
struct Diagnostic {
    enum class Severity { Error, Warning, Information };
    enum class Origin {
        WellFormedness, // the text is not well-formed XML
        Compilation,    // the stylesheet does not compile
        Runtime,        // the transformation failed while it ran
        Message,        // xsl:message output
        Validation,     // the document does not match its DTD, XML Schema or RELAX NG grammar
        Check,          // the stylesheet's own checks: names not declared, never used, and the like
    };
    Severity severity = Severity::Error;
    Origin origin = Origin::WellFormedness;
    QString message;
    QString file;  // the document it is about: a path or URL, as the engine knew it
    int line = 0;  // 1-based; 0 when unknown
    int column = 0; // 1-based, in characters of the line; 0 when unknown

    bool operator==(const Diagnostic &) const = default;
};

Q_DECLARE_METATYPE(Diagnostic)
