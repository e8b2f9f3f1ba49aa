#pragma once

#include <QObject>
#include <QString>

// Every test executable runs with a fresh, empty settings store and temporary folder, and
// fails if a temporary file is left behind.
namespace testenv {

// Points XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_CACHE_HOME, XDG_STATE_HOME, XDG_RUNTIME_DIR and TMPDIR at fresh
// folders. Must run before the QApplication exists.
void prepare();
// Runs the test object; afterwards fails when the temporary folder is not empty, and removes
// the folders made by prepare().
int finish(QObject &test, int argc, char **argv);

QString configHome();
QString tempDir();
QString stateHome();
// Names of the entries left in the temporary folder.
QStringList leftoverTempFiles();
// Writes bytes to a file, making its folder first; false when that fails.
bool writeFile(const QString &path, const QByteArray &bytes);
// A file's bytes; none when it cannot be read.
QByteArray readFile(const QString &path);
// The rows of a table in a text file: a row a line, its fields split at " | " and trimmed;
// empty lines and lines starting with "#" are left out.
QList<QStringList> table(const QString &path);

} // namespace testenv

#define ZENDRIK_TEST_MAIN(TestObject)                                                             \
    int main(int argc, char **argv)                                                               \
    {                                                                                             \
        testenv::prepare();                                                                       \
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);                              \
        QApplication app(argc, argv);                                                             \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                  \
        TestObject tc;                                                                            \
        return testenv::finish(tc, argc, argv);                                                   \
    }
