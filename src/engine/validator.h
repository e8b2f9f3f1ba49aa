#pragma once

#include "engine/diagnostic.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Checks an XML document against a DTD, an XML Schema or a RELAX NG grammar.
//
// Only local files are read: the DTD the DOCTYPE names (for a source from this computer; the DTD
// of a source from the network is not read), the schema file and what it includes or imports.
// Anything on the network is refused with a message, never fetched. Nothing is printed;
// every message comes back in the result. Safe to call on a worker thread, several at once.
namespace validator {

enum class Schema { Dtd, Xsd, RelaxNg };

struct Result {
    bool valid = false;
    // What makes the document invalid (Origin::Validation), each at its line. At most
    // kMaxProblems of them, then one Information entry saying how many more there were.
    QList<Diagnostic> problems;
    // One line saying why the validation could not run at all (the source is not well-formed,
    // the schema cannot be read or compiled, there is no DOCTYPE); empty when it ran.
    QString error;
};

inline constexpr int kMaxProblems = 200;

// Validates sourceUtf8 (the editor's text, UTF-8 whatever its declaration says). sourceBase is the
// path or URL the source came from: a relative DTD reference resolves against it, and the
// problems name it. For Dtd the DOCTYPE decides the grammar and schemaPath is not used; for Xsd
// and RelaxNg schemaPath is the local schema file.
Result validate(const QByteArray &sourceUtf8, const QString &sourceBase, Schema schema,
                const QString &schemaPath = {});

} // namespace validator
