// libFuzzer target: what a worker process does with the XPath bar's and Validate Source's
// requests. The first byte picks the way in:
//   0: the bytes are the worker's input stream, frames and all, read as the worker reads them;
//   1: an expression and a source, split at the first NUL, evaluated as the XPath bar asks;
//   2: a schema and a source, split at the first NUL, validated against a DTD (the source's
//      own), an XML Schema or a RELAX NG grammar, by the second byte.
// Transformations are left to fuzz_transform: a request read from arbitrary bytes could name a
// network address, and the fuzzer must not reach anything.
#include "engine/engineprotocol.h"
#include "engine/requesthandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstddef>
#include <cstdint>

namespace {

engine::RequestHandler &handler()
{
    static engine::RequestHandler h(0);
    return h;
}

// Every answer must survive the way back to the program.
void answer(const engine::Request &request)
{
    const engine::Response response = handler().handle(request);
    QByteArray stream = engine::frame(response.toCbor());
    QList<QCborMap> messages;
    QString error;
    if (!engine::takeFrames(stream, &messages, &error) || messages.size() != 1)
        __builtin_trap();
    const engine::Response back = engine::Response::fromCbor(messages.first());
    if (back.id != response.id || back.xpath.nodes.size() != response.xpath.nodes.size()
        || back.validation.problems.size() != response.validation.problems.size())
        __builtin_trap();
}

QString schemaFile(const QByteArray &schema, const char *suffix)
{
    const QString path = QDir::tempPath() + QStringLiteral("/fuzz_worker_schema.") + QLatin1String(suffix);
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(schema);
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_worker";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static qint64 key = 0;

    if (size < 2)
        return 0;
    const int mode = data[0] % 3;
    const int variant = data[1];
    const QByteArray all(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    const qsizetype split = all.indexOf('\0');
    const QByteArray first = split < 0 ? all : all.left(split);
    const QByteArray second = split < 0 ? QByteArrayLiteral("<r xmlns:p=\"urn:p\"><a x=\"1\">t</a><p:b/><!--c--><?pi x?></r>")
                                        : all.mid(split + 1);
    if (mode == 0) {
        QByteArray stream = QByteArray(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
        QList<QCborMap> messages;
        QString error;
        (void)engine::takeFrames(stream, &messages, &error);
        for (const QCborMap &m : std::as_const(messages)) {
            engine::Request request = engine::Request::fromCbor(m);
            if (request.kind == engine::Kind::Transform)
                continue;
            if (request.kind == engine::Kind::Validate)
                request.validate.sourceBase = QStringLiteral("/nonexistent/fuzz/source.xml");
            if (request.kind == engine::Kind::XPath)
                request.xpath.sourceBase = QStringLiteral("/nonexistent/fuzz/source.xml");
            answer(request);
        }
        return 0;
    }
    engine::Request request;
    request.id = ++key;
    request.window = 1;
    if (mode == 1) {
        request.kind = engine::Kind::XPath;
        request.xpath.expression = QString::fromUtf8(first);
        request.xpath.sourceBase = QStringLiteral("/nonexistent/fuzz/source.xml");
        request.xpath.namespaces = {{QStringLiteral("p"), QStringLiteral("urn:p")}};
        request.xpath.maxRows = 50;
        request.xpath.maxValueChars = variant;
        // Every other time the source the worker already holds, as the bar sends it.
        request.xpath.hasSource = variant & 1;
        request.xpath.source = second;
        request.xpath.sourceKey = variant & 1 ? key : key - 1;
        answer(request);
        return 0;
    }
    request.kind = engine::Kind::Validate;
    request.validate.source = second;
    request.validate.sourceBase = QStringLiteral("/nonexistent/fuzz/source.xml");
    switch (variant % 3) {
    case 0:
        request.validate.schema = validator::Schema::Dtd;
        // The DTD comes first in the source, as its internal subset.
        request.validate.source = first + second;
        break;
    case 1:
        request.validate.schema = validator::Schema::Xsd;
        request.validate.schemaPath = schemaFile(first, "xsd");
        break;
    default:
        request.validate.schema = validator::Schema::RelaxNg;
        request.validate.schemaPath = schemaFile(first, "rng");
        break;
    }
    answer(request);
    return 0;
}
