#pragma once

// The functions an XPath expression in a stylesheet may call without declaring them: XPath 1.0
// and XSLT 1.0's, the EXSLT and libxslt extensions libxslt registers (the XSLT 1.0 processor),
// and the XPath/XQuery Functions and Operators 2.0 to 3.1 with XSLT 2.0/3.0's (the 2.0+
// processor), each with a signature to show while completing.

#include <QList>
#include <QString>

namespace xpathfn {

struct Function {
    QString name;         // as usually written: "concat", "exsl:node-set", "math:sqrt"
    QString namespaceUri; // empty for XPath 1.0's and XSLT's functions, which are in no namespace
    QString signature;    // "substring(string, number, number?) → string"
    double minVersion = 1.0;
    // An extension the XSLT 1.0 processor (libxslt) provides: not there in 2.0 and later.
    bool extension = false;

    QString localName() const { return name.mid(name.indexOf(QLatin1Char(':')) + 1); }
};

// The namespace of XPath 2.0's functions: in 2.0 and later an unprefixed call means it, and
// XPath 1.0's and XSLT's functions are in it too.
inline const QString functionsNamespace = QStringLiteral("http://www.w3.org/2005/xpath-functions");

const QList<Function> &all();

// The function called localName in namespaceUri that a stylesheet of version has, or null.
const Function *find(const QString &namespaceUri, const QString &localName, double version);

// Whether every function of namespaceUri that a stylesheet of version may call is in the table,
// so that a call of another one is certainly an error. Extension namespaces we know nothing of
// (a processor's own, a user's) are not: a call there may well be fine.
bool knowsAll(const QString &namespaceUri, double version);

} // namespace xpathfn
