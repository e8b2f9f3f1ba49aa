#include "app/commandline.h"

namespace {

const char kUsage[] =
    "Usage: zendrik [OPTION...] [FILE...]\n"
    "An editor for XSLT stylesheets.\n"
    "\n"
    "Each .xsl or .xslt FILE opens as a stylesheet in a window of its own; any other FILE\n"
    "becomes the XML source of the stylesheet opened before it (or of a new window).\n"
    "A FILE may also be an http:// or https:// address.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help and exit\n"
    "  -v, --version  show the version and exit\n";

} // namespace

bool asksOnlyToPrint(const QStringList &arguments)
{
    for (const QString &a : arguments) {
        if (a == QLatin1String("--"))
            return false;
        if (a == QLatin1String("-h") || a == QLatin1String("--help") || a == QLatin1String("-v")
            || a == QLatin1String("--version"))
            return true;
    }
    return false;
}

CommandLine readCommandLine(const QStringList &arguments, const QString &version)
{
    CommandLine cl;
    bool options = true;
    QString unknown;
    for (const QString &a : arguments) {
        if (options && a == QLatin1String("--")) {
            options = false;
        } else if (options && (a == QLatin1String("-h") || a == QLatin1String("--help"))) {
            cl.output = QString::fromLatin1(kUsage);
            return cl;
        } else if (options && (a == QLatin1String("-v") || a == QLatin1String("--version"))) {
            cl.output = QStringLiteral("Zendrik %1\n").arg(version);
            return cl;
        } else if (options && a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            if (unknown.isEmpty())
                unknown = a;
        } else if (!a.isEmpty()) {
            cl.files << a;
        }
    }
    if (!unknown.isEmpty()) {
        cl.output = QStringLiteral("zendrik: unknown option \"%1\"\nTry \"zendrik --help\" for more information.\n").arg(unknown);
        cl.toError = true;
        cl.exitCode = 2;
        cl.files.clear();
    }
    return cl;
}
