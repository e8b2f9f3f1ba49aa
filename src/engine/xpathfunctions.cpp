#include "engine/xpathfunctions.h"

#include <QHash>

#include <initializer_list>

namespace xpathfn {

namespace {

const char kFn[] = "http://www.w3.org/2005/xpath-functions";
const char kMath[] = "http://www.w3.org/2005/xpath-functions/math";
const char kMap[] = "http://www.w3.org/2005/xpath-functions/map";
const char kArray[] = "http://www.w3.org/2005/xpath-functions/array";
const char kXslt[] = "http://www.w3.org/1999/XSL/Transform";
const char kExslCommon[] = "http://exslt.org/common";
const char kExslMath[] = "http://exslt.org/math";
const char kExslSets[] = "http://exslt.org/sets";
const char kExslStrings[] = "http://exslt.org/strings";
const char kExslDates[] = "http://exslt.org/dates-and-times";
const char kExslDynamic[] = "http://exslt.org/dynamic";
const char kExslCrypto[] = "http://exslt.org/crypto";
const char kExslFunctions[] = "http://exslt.org/functions";
const char kLibxslt[] = "http://xmlsoft.org/XSLT/namespace";
const char kSaxon6[] = "http://icl.com/saxon";
const char kXt[] = "http://www.jclark.com/xt";

// One namespace's functions at one version: the signatures, each beginning with the local name.
struct Group {
    const char *uri;    // "" for no namespace
    const char *prefix; // as usually written, "" for none
    double minVersion;
    bool extension;
    std::initializer_list<const char *> signatures;
};

// The XSLT 1.0 processor's: the lists are what libxslt 1.1 and libexslt register (each name
// checked with function-available() under xsltproc).
const Group kGroups[] = {
    {"", "", 1.0, false,
     {"last() → number", "position() → number", "count(node-set) → number", "id(object) → node-set",
      "local-name(node-set?) → string", "namespace-uri(node-set?) → string", "name(node-set?) → string",
      "string(object?) → string", "concat(string, string, string*) → string", "starts-with(string, string) → boolean",
      "contains(string, string) → boolean", "substring-before(string, string) → string",
      "substring-after(string, string) → string", "substring(string, number, number?) → string",
      "string-length(string?) → number", "normalize-space(string?) → string", "translate(string, string, string) → string",
      "boolean(object) → boolean", "not(boolean) → boolean", "true() → boolean", "false() → boolean", "lang(string) → boolean",
      "number(object?) → number", "sum(node-set) → number", "floor(number) → number", "ceiling(number) → number",
      "round(number) → number", "document(object, node-set?) → node-set", "key(string, object) → node-set",
      "format-number(number, string, string?) → string", "current() → node-set", "unparsed-entity-uri(string) → string",
      "generate-id(node-set?) → string", "system-property(string) → object", "element-available(string) → boolean",
      "function-available(string) → boolean"}},
    {kExslCommon, "exsl", 1.0, true, {"node-set(object) → node-set", "object-type(object) → string"}},
    {kExslMath, "math", 1.0, true,
     {"min(node-set) → number", "max(node-set) → number", "highest(node-set) → node-set", "lowest(node-set) → node-set",
      "constant(string, number) → number", "random() → number", "abs(number) → number", "sqrt(number) → number",
      "power(number, number) → number", "log(number) → number", "sin(number) → number", "cos(number) → number",
      "tan(number) → number", "asin(number) → number", "acos(number) → number", "atan(number) → number",
      "atan2(number, number) → number", "exp(number) → number"}},
    {kExslSets, "set", 1.0, true,
     {"difference(node-set, node-set) → node-set", "intersection(node-set, node-set) → node-set",
      "distinct(node-set) → node-set", "has-same-node(node-set, node-set) → boolean",
      "leading(node-set, node-set) → node-set", "trailing(node-set, node-set) → node-set"}},
    {kExslStrings, "str", 1.0, true,
     {"tokenize(string, string?) → node-set", "split(string, string?) → node-set", "encode-uri(string, boolean, string?) → string",
      "decode-uri(string, string?) → string", "padding(number, string?) → string", "align(string, string, string?) → string",
      "concat(node-set) → string", "replace(string, object, object) → node-set"}},
    {kExslDates, "date", 1.0, true,
     {"add(string, string) → string", "add-duration(string, string) → string", "date(string?) → string",
      "date-time() → string", "day-abbreviation(string?) → string", "day-in-month(string?) → number",
      "day-in-week(string?) → number", "day-in-year(string?) → number", "day-name(string?) → string",
      "day-of-week-in-month(string?) → number", "difference(string, string) → string", "duration(number?) → string",
      "hour-in-day(string?) → number", "leap-year(string?) → boolean", "minute-in-hour(string?) → number",
      "month-abbreviation(string?) → string", "month-in-year(string?) → number", "month-name(string?) → string",
      "second-in-minute(string?) → number", "seconds(string?) → number", "sum(node-set) → string", "time(string?) → string",
      "week-in-month(string?) → number", "week-in-year(string?) → number", "year(string?) → number"}},
    {kExslDynamic, "dyn", 1.0, true, {"evaluate(string) → object", "map(node-set, string) → node-set"}},
    {kExslCrypto, "crypto", 1.0, true,
     {"md4(string) → string", "md5(string) → string", "sha1(string) → string", "rc4_encrypt(string, string) → string",
      "rc4_decrypt(string, string) → string"}},
    {kLibxslt, "libxslt", 1.0, true, {"node-set(object) → node-set"}},
    {kSaxon6, "saxon", 1.0, true,
     {"node-set(object) → node-set", "expression(string) → object", "eval(object) → object", "evaluate(string) → object",
      "line-number(node-set?) → number", "systemId() → string"}},
    {kXt, "xt", 1.0, true, {"node-set(object) → node-set"}},

    // XPath 2.0 (Functions and Operators 2.0) and XSLT 2.0; the XPath 1.0 and XSLT 1.0 ones
    // above are there too.
    {kFn, "fn", 2.0, false,
     {"node-name(node()?) → xs:QName?", "nilled(node()?) → xs:boolean?", "data(item()*) → xs:anyAtomicType*",
      "base-uri(node()?) → xs:anyURI?", "document-uri(node()?) → xs:anyURI?", "error(xs:QName?, xs:string?, item()*?) → none",
      "trace(item()*, xs:string) → item()*", "abs(numeric?) → numeric?", "round-half-to-even(numeric?, xs:integer?) → numeric?",
      "codepoints-to-string(xs:integer*) → xs:string", "string-to-codepoints(xs:string?) → xs:integer*",
      "compare(xs:string?, xs:string?, xs:string?) → xs:integer?", "codepoint-equal(xs:string?, xs:string?) → xs:boolean?",
      "string-join(xs:anyAtomicType*, xs:string) → xs:string", "normalize-unicode(xs:string?, xs:string?) → xs:string",
      "upper-case(xs:string?) → xs:string", "lower-case(xs:string?) → xs:string", "encode-for-uri(xs:string?) → xs:string",
      "iri-to-uri(xs:string?) → xs:string", "escape-html-uri(xs:string?) → xs:string", "ends-with(xs:string?, xs:string?) → xs:boolean",
      "matches(xs:string?, xs:string, xs:string?) → xs:boolean", "replace(xs:string?, xs:string, xs:string, xs:string?) → xs:string",
      "tokenize(xs:string?, xs:string, xs:string?) → xs:string*", "resolve-uri(xs:string?, xs:string?) → xs:anyURI?",
      "years-from-duration(xs:duration?) → xs:integer?", "months-from-duration(xs:duration?) → xs:integer?",
      "days-from-duration(xs:duration?) → xs:integer?", "hours-from-duration(xs:duration?) → xs:integer?",
      "minutes-from-duration(xs:duration?) → xs:integer?", "seconds-from-duration(xs:duration?) → xs:decimal?",
      "year-from-dateTime(xs:dateTime?) → xs:integer?", "month-from-dateTime(xs:dateTime?) → xs:integer?",
      "day-from-dateTime(xs:dateTime?) → xs:integer?", "hours-from-dateTime(xs:dateTime?) → xs:integer?",
      "minutes-from-dateTime(xs:dateTime?) → xs:integer?", "seconds-from-dateTime(xs:dateTime?) → xs:decimal?",
      "timezone-from-dateTime(xs:dateTime?) → xs:dayTimeDuration?", "year-from-date(xs:date?) → xs:integer?",
      "month-from-date(xs:date?) → xs:integer?", "day-from-date(xs:date?) → xs:integer?",
      "timezone-from-date(xs:date?) → xs:dayTimeDuration?", "hours-from-time(xs:time?) → xs:integer?",
      "minutes-from-time(xs:time?) → xs:integer?", "seconds-from-time(xs:time?) → xs:decimal?",
      "timezone-from-time(xs:time?) → xs:dayTimeDuration?",
      "adjust-dateTime-to-timezone(xs:dateTime?, xs:dayTimeDuration?) → xs:dateTime?",
      "adjust-date-to-timezone(xs:date?, xs:dayTimeDuration?) → xs:date?",
      "adjust-time-to-timezone(xs:time?, xs:dayTimeDuration?) → xs:time?", "dateTime(xs:date?, xs:time?) → xs:dateTime?",
      "resolve-QName(xs:string?, element()) → xs:QName?", "QName(xs:string?, xs:string) → xs:QName",
      "prefix-from-QName(xs:QName?) → xs:NCName?", "local-name-from-QName(xs:QName?) → xs:NCName?",
      "namespace-uri-from-QName(xs:QName?) → xs:anyURI?", "namespace-uri-for-prefix(xs:string?, element()) → xs:anyURI?",
      "in-scope-prefixes(element()) → xs:string*", "root(node()?) → node()?", "index-of(xs:anyAtomicType*, xs:anyAtomicType, xs:string?) → xs:integer*",
      "empty(item()*) → xs:boolean", "exists(item()*) → xs:boolean", "distinct-values(xs:anyAtomicType*, xs:string?) → xs:anyAtomicType*",
      "insert-before(item()*, xs:integer, item()*) → item()*", "remove(item()*, xs:integer) → item()*",
      "reverse(item()*) → item()*", "subsequence(item()*, xs:double, xs:double?) → item()*", "unordered(item()*) → item()*",
      "zero-or-one(item()*) → item()?", "one-or-more(item()*) → item()+", "exactly-one(item()*) → item()",
      "deep-equal(item()*, item()*, xs:string?) → xs:boolean", "avg(xs:anyAtomicType*) → xs:anyAtomicType?",
      "max(xs:anyAtomicType*, xs:string?) → xs:anyAtomicType?", "min(xs:anyAtomicType*, xs:string?) → xs:anyAtomicType?",
      "idref(xs:string*, node()?) → node()*", "doc(xs:string?) → document-node()?", "doc-available(xs:string?) → xs:boolean",
      "collection(xs:string?) → node()*", "current-dateTime() → xs:dateTime", "current-date() → xs:date",
      "current-time() → xs:time", "implicit-timezone() → xs:dayTimeDuration", "default-collation() → xs:string",
      "static-base-uri() → xs:anyURI?", "current-group() → item()*", "current-grouping-key() → xs:anyAtomicType?",
      "unparsed-text(xs:string?, xs:string?) → xs:string?", "unparsed-text-available(xs:string?, xs:string?) → xs:boolean",
      "regex-group(xs:integer) → xs:string", "unparsed-entity-public-id(xs:string) → xs:string",
      "type-available(xs:string) → xs:boolean", "format-date(xs:date?, xs:string, xs:string?, xs:string?, xs:string?) → xs:string?",
      "format-dateTime(xs:dateTime?, xs:string, xs:string?, xs:string?, xs:string?) → xs:string?",
      "format-time(xs:time?, xs:string, xs:string?, xs:string?, xs:string?) → xs:string?"}},

    // XPath 3.0 and 3.1 and XSLT 3.0.
    {kFn, "fn", 3.0, false,
     {"format-integer(xs:integer?, xs:string, xs:string?) → xs:string", "analyze-string(xs:string?, xs:string, xs:string?) → element()",
      "has-children(node()?) → xs:boolean", "innermost(node()*) → node()*", "outermost(node()*) → node()*",
      "path(node()?) → xs:string?", "head(item()*) → item()?", "tail(item()*) → item()*",
      "environment-variable(xs:string) → xs:string?", "available-environment-variables() → xs:string*",
      "uri-collection(xs:string?) → xs:anyURI*", "unparsed-text-lines(xs:string?, xs:string?) → xs:string*",
      "parse-xml(xs:string?) → document-node()?", "parse-xml-fragment(xs:string?) → document-node()?",
      "serialize(item()*, item()?) → xs:string", "function-lookup(xs:QName, xs:integer) → function(*)?",
      "function-name(function(*)) → xs:QName?", "function-arity(function(*)) → xs:integer",
      "for-each(item()*, function(item()) as item()*) → item()*", "filter(item()*, function(item()) as xs:boolean) → item()*",
      "fold-left(item()*, item()*, function(item()*, item()) as item()*) → item()*",
      "fold-right(item()*, item()*, function(item(), item()*) as item()*) → item()*",
      "for-each-pair(item()*, item()*, function(item(), item()) as item()*) → item()*",
      "sort(item()*, xs:string?, function(item()) as xs:anyAtomicType*?) → item()*",
      "random-number-generator(xs:anyAtomicType?) → map(xs:string, item())", "collation-key(xs:string, xs:string?) → xs:base64Binary",
      "contains-token(xs:string*, xs:string, xs:string?) → xs:boolean", "parse-ietf-date(xs:string?) → xs:dateTime?",
      "json-doc(xs:string?, map(*)?) → item()?", "parse-json(xs:string?, map(*)?) → item()?",
      "json-to-xml(xs:string?, map(*)?) → document-node()?", "xml-to-json(node()?, map(*)?) → xs:string?",
      "load-xquery-module(xs:string, map(*)?) → map(*)", "transform(map(*)) → map(*)", "apply(function(*), array(*)) → item()*",
      "default-language() → xs:language", "accumulator-before(xs:string) → item()*", "accumulator-after(xs:string) → item()*",
      "available-system-properties() → xs:QName*", "copy-of(item()*?) → item()*", "snapshot(item()*?) → item()*",
      "current-merge-group(xs:string?) → item()*", "current-merge-key() → xs:anyAtomicType*", "current-output-uri() → xs:anyURI?",
      "stream-available(xs:string?) → xs:boolean"}},
    {kMath, "math", 3.0, false,
     {"pi() → xs:double", "exp(xs:double?) → xs:double?", "exp10(xs:double?) → xs:double?", "log(xs:double?) → xs:double?",
      "log10(xs:double?) → xs:double?", "pow(xs:double?, numeric) → xs:double?", "sqrt(xs:double?) → xs:double?",
      "sin(xs:double?) → xs:double?", "cos(xs:double?) → xs:double?", "tan(xs:double?) → xs:double?",
      "asin(xs:double?) → xs:double?", "acos(xs:double?) → xs:double?", "atan(xs:double?) → xs:double?",
      "atan2(xs:double, xs:double) → xs:double"}},
    {kMap, "map", 3.0, false,
     {"merge(map(*)*, map(*)?) → map(*)", "size(map(*)) → xs:integer", "keys(map(*)) → xs:anyAtomicType*",
      "contains(map(*), xs:anyAtomicType) → xs:boolean", "get(map(*), xs:anyAtomicType) → item()*",
      "find(item()*, xs:anyAtomicType) → array(*)", "put(map(*), xs:anyAtomicType, item()*) → map(*)",
      "entry(xs:anyAtomicType, item()*) → map(*)", "remove(map(*), xs:anyAtomicType*) → map(*)",
      "for-each(map(*), function(xs:anyAtomicType, item()*) as item()*) → item()*"}},
    {kArray, "array", 3.0, false,
     {"size(array(*)) → xs:integer", "get(array(*), xs:integer) → item()*", "put(array(*), xs:integer, item()*) → array(*)",
      "append(array(*), item()*) → array(*)", "subarray(array(*), xs:integer, xs:integer?) → array(*)",
      "remove(array(*), xs:integer*) → array(*)", "insert-before(array(*), xs:integer, item()*) → array(*)",
      "head(array(*)) → item()*", "tail(array(*)) → array(*)", "reverse(array(*)) → array(*)", "join(array(*)*) → array(*)",
      "flatten(item()*) → item()*", "for-each(array(*), function(item()*) as item()*) → array(*)",
      "filter(array(*), function(item()*) as xs:boolean) → array(*)",
      "fold-left(array(*), item()*, function(item()*, item()*) as item()*) → item()*",
      "fold-right(array(*), item()*, function(item()*, item()*) as item()*) → item()*",
      "for-each-pair(array(*), array(*), function(item()*, item()*) as item()*) → array(*)",
      "sort(array(*), xs:string?, function(item()*) as xs:anyAtomicType*?) → array(*)"}},
};

struct Table {
    QList<Function> functions;
    QHash<QString, QList<int>> byLocalName;
};

const Table &table()
{
    static const Table t = [] {
        Table t;
        for (const Group &g : kGroups)
            for (const char *s : g.signatures) {
                const QString signature = QString::fromUtf8(s);
                const QString local = signature.left(signature.indexOf(QLatin1Char('(')));
                const QString prefix = QLatin1String(g.prefix);
                // The fn: functions are called without their prefix.
                const bool bare = prefix.isEmpty() || prefix == QLatin1String("fn");
                t.byLocalName[local] << int(t.functions.size());
                t.functions.append({bare ? local : prefix + QLatin1Char(':') + local, QLatin1String(g.uri),
                                    bare ? signature : prefix + QLatin1Char(':') + signature, g.minVersion, g.extension});
            }
        return t;
    }();
    return t;
}

} // namespace

const QList<Function> &all()
{
    return table().functions;
}

const Function *find(const QString &namespaceUri, const QString &localName, double version)
{
    const bool v2 = version >= 2.0;
    // From 2.0 on, no namespace and fn's are one: the default function namespace.
    const bool defaultNamespace = namespaceUri.isEmpty() || (v2 && namespaceUri == QLatin1String(kFn));
    const Table &t = table();
    for (const int i : t.byLocalName.value(localName)) {
        const Function &f = t.functions[i];
        if (f.minVersion > version || (v2 && f.extension))
            continue;
        const bool inDefault = f.namespaceUri.isEmpty() || f.namespaceUri == QLatin1String(kFn);
        if (defaultNamespace ? inDefault : f.namespaceUri == namespaceUri)
            return &f;
    }
    return nullptr;
}

bool knowsAll(const QString &namespaceUri, double version)
{
    if (namespaceUri.isEmpty() || namespaceUri == QLatin1String(kFn) || namespaceUri == QLatin1String(kMath)
        || namespaceUri == QLatin1String(kMap) || namespaceUri == QLatin1String(kArray) || namespaceUri == QLatin1String(kXslt))
        return true;
    // EXSLT and libxslt's own namespace, as libxslt has them; the 2.0+ processor has a few EXSLT
    // functions of its own, which this table does not list.
    if (version >= 2.0)
        return false;
    for (const char *uri : {kExslCommon, kExslMath, kExslSets, kExslStrings, kExslDates, kExslDynamic, kExslCrypto,
                            kExslFunctions, kLibxslt})
        if (namespaceUri == QLatin1String(uri))
            return true;
    return false;
}

} // namespace xpathfn
