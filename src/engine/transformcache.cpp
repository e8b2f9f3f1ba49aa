#include "engine/transformcache.h"

#include "engine/xmlinternal.h"

#include <QCryptographicHash>

namespace xmlinternal {

thread_local ReadLog *t_readLog = nullptr;

QByteArray contentDigest(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Blake2b_256);
}

QByteArray contentKey(const QByteArray &text, const QString &base, bool unicodeText)
{
    QByteArray key = contentDigest(text);
    key += unicodeText ? 'u' : 'b';
    key += base.toUtf8();
    return key;
}

void ReadLog::noteFile(const QString &path, const QByteArray *content)
{
    files.push_back({path, content ? contentDigest(*content) : QByteArray()});
    if (content)
        bytes += content->size();
}

bool ReadLog::current() const
{
    if (uncheckable)
        return false;
    for (const File &f : files) {
        QByteArray bytes;
        const bool read = FileIO::readRegularFile(f.path, &bytes, nullptr);
        if (read != !f.digest.isEmpty() || (read && contentDigest(bytes) != f.digest))
            return false;
    }
    return true;
}

} // namespace xmlinternal

bool TransformCache::Impl::current(Kept &kept, const QByteArray &key)
{
    if (kept.key != key)
        return false;
    if (kept.checkedIn == request)
        return true;
    if (!kept.reads.current())
        return false;
    kept.checkedIn = request;
    return true;
}

QByteArray TransformCache::Impl::keyOf(const QByteArray &text, const QString &base, bool unicodeText)
{
    // The same bytes (a shared buffer cannot change under its holders) hashed once per request,
    // however often they are asked about.
    for (const Keyed &k : keyed)
        if (k.text.constData() == text.constData() && k.text.size() == text.size() && k.base == base
            && k.unicodeText == unicodeText)
            return k.key;
    const QByteArray key = xmlinternal::contentKey(text, base, unicodeText);
    keyed.push_back({text, base, unicodeText, key});
    return key;
}

TransformCache::TransformCache()
    : d(std::make_unique<Impl>())
{
}

TransformCache::~TransformCache() = default;

void TransformCache::clear()
{
    d->style.reset();
    d->source.reset();
}

void TransformCache::beginRequest()
{
    ++d->request;
    d->keyed.clear();
}

void TransformCache::endRequest()
{
    d->keyed.clear();
}

namespace {

// Whether kept is current for the text, and if not, lets it go.
template<typename Kept>
bool holds(TransformCache::Impl &d, std::optional<Kept> &kept, const QByteArray &utf8, const QString &base)
{
    if (kept && d.current(*kept, d.keyOf(utf8, base, true)))
        return true;
    kept.reset();
    return false;
}

} // namespace

bool TransformCache::holdsStylesheet(const QByteArray &utf8, const QString &base)
{
    return holds(*d, d->style, utf8, base);
}

bool TransformCache::holdsSource(const QByteArray &utf8, const QString &base)
{
    return holds(*d, d->source, utf8, base);
}

TransformCache::Counts TransformCache::counts() const
{
    return d->counts;
}
