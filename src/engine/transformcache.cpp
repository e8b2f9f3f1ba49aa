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
}

bool TransformCache::holdsStylesheet(const QByteArray &utf8, const QString &base)
{
    if (!d->style)
        return false;
    if (d->current(*d->style, xmlinternal::contentKey(utf8, base, true)))
        return true;
    d->style.reset();
    return false;
}

bool TransformCache::holdsSource(const QByteArray &utf8, const QString &base)
{
    if (!d->source)
        return false;
    if (d->current(*d->source, xmlinternal::contentKey(utf8, base, true)))
        return true;
    d->source.reset();
    return false;
}

TransformCache::Counts TransformCache::counts() const
{
    return d->counts;
}
