#pragma once

// What a stylesheet declares and where it refers to it: the top-level declarations (templates,
// variables and parameters, keys, attribute sets, decimal formats, namespace aliases, includes
// and imports, and XSLT 2.0/3.0's functions, character maps and accumulators), the local
// variables and parameters, and every reference to them in XSLT attributes and XPath
// expressions, resolved with XSLT's scoping rules. Built from the text alone (no libxml2, no
// window), so that it can be built beside the window for any text.

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace stylesheet {

// A place in one file: its line and column (1-based, UTF-16 units of the line) and its span
// in the file's text (UTF-16 offsets).
struct Place {
    QString file;
    int line = 0;
    int column = 0;
    int offset = 0;
    int length = 0;
    bool operator==(const Place &) const = default;
};

struct Declaration {
    // Adding a kind is adding a row here and in the table of declaration elements.
    enum class Kind {
        Template, Variable, Param, Key, AttributeSet, DecimalFormat, NamespaceAlias, Include, Import,
        Function, CharacterMap, Accumulator, Mode,
    };
    Kind kind = Kind::Template;
    QString name;     // the name (templates: @name, may be empty; includes: @href)
    QString match;    // templates
    QString mode;     // templates: @mode as written
    QString priority; // templates
    bool global = true;
    int precedence = 0; // import precedence: higher wins; the main stylesheet's modules the highest
    Place place;        // the name's value (or the element's start tag when it has no name)
    // Functions: the URI the name's prefix is bound to where it is declared.
    QString namespaceUri;
    // Locals: where their visibility begins (the end of their own element: their content does
    // not see them) and ends (the end of the parent element), in the same file.
    int scopeStart = 0;
    int scopeEnd = 0;
    // A mode no xsl:mode declares: declared where a template first names it.
    bool implied = false;
};

struct Reference {
    enum class Kind { Variable, CallTemplate, WithParam, Mode, Key, AttributeSet, Function, Href };
    Kind kind = Kind::Variable;
    QString name;
    Place place;
    // The declaration it resolves to (an index into declarations), or -1: not found, or
    // nothing to resolve (a built-in function, a mode of no template).
    int declaration = -1;
    // A with-param of a call-template: the reference to the template called (an index into
    // references); -1 otherwise.
    int call = -1;
    // Functions: the URI the prefix is bound to where the call is written (empty without a
    // prefix), and whether the call is made only where the processor has the function: under an
    // xsl:if or xsl:when testing function-available() of its name, in xsl:fallback, or in an
    // element with use-when.
    QString namespaceUri;
    bool guarded = false;
};

struct Model {
    QList<Declaration> declarations;
    QList<Reference> references;
    QStringList files; // the main stylesheet first, then the modules in the order read
    double version = 1.0; // the main stylesheet's version attribute: which processor runs it

    // The declaration whose name or a reference to it is at offset in file, if any.
    std::optional<int> declarationAt(const QString &file, int offset) const;
    // Every reference resolved to the declaration.
    QList<int> usagesOf(int declaration) const;
};

// What the checks while typing find that a compiler only finds when it runs, or not at all.
struct Finding {
    enum class Severity { Error, Warning };
    Severity severity = Severity::Error;
    QString message;
    Place place;
    bool operator==(const Finding &) const = default;
};

// The checks of a model: references to variables, named templates, parameters and functions
// that are not there, locals never used, modes no template has, globals declared twice at one
// precedence, and (XSLT 1.0) a local that shadows another. A call of a function is reported
// only where the namespace is one whose every function is known (no namespace, fn, math, map,
// array, and for XSLT 1.0 EXSLT's and libxslt's): a processor's or a user's extension
// namespace may have anything.
QList<Finding> check(const Model &model, double version = 1.0);

// Whether an attribute of an XSLT element holds an expression or a pattern.
bool isExpressionAttribute(QStringView name);

// The absolute path of the module an include or import in file names by href (file empty: a
// stylesheet not yet saved, resolved against the current folder); empty when it is no local file.
QString modulePath(const QString &file, const QString &href);

// Reads a module the stylesheet includes or imports (its absolute path): the text, or nullopt
// when it cannot be read (then it is left out). The caller decides whether to read from disk
// or from an open window's unsaved text.
using ModuleReader = std::function<std::optional<QString>(const QString &path)>;

// Builds the model of the stylesheet text at file (an absolute path; empty for a text not yet
// saved), reading the local modules it includes and imports through read (none when not set).
Model build(const QString &text, const QString &file, const ModuleReader &read = {});

} // namespace stylesheet
