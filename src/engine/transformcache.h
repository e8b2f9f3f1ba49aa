#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

// What a worker keeps from one transformation to the next: the compiled stylesheet and the
// parsed source of the last run, so that an edit of the source compiles nothing again and an
// edit of the stylesheet parses no source again.
//
// Each tree is found again by a digest of its own text and base, and of every file read while
// it was made (includes, imports, external entities, DTDs). Those files are read again and
// compared before each request uses the tree: an edit saved in an imported file, or a file
// rewritten behind the program's back with the same size and time, compiles afresh. Names and
// times alone decide nothing. Parameters are handed to each run and belong to neither tree.
//
// Only trees made from modest texts are kept (kMaxKeptTextBytes): the worker's memory is the
// user's too, and a 50 MB stylesheet compiled once for a check is better given back.
class TransformCache
{
public:
    TransformCache();
    ~TransformCache();
    TransformCache(const TransformCache &) = delete;
    TransformCache &operator=(const TransformCache &) = delete;

    // Above this many bytes of text (a document and the files it read), a tree is dropped
    // after its run.
    static constexpr qsizetype kMaxKeptTextBytes = 8 << 20;

    // Lets go of both trees.
    void clear();
    // A new request begins: the files the trees depend on are read again at their next use.
    void beginRequest();
    // It ends: the texts it was asked about are let go.
    void endRequest();
    // Whether a compiled stylesheet for exactly this text (UTF-8, as the editor holds it) and
    // base is kept and still current; likewise a parsed source.
    bool holdsStylesheet(const QByteArray &utf8, const QString &base);
    bool holdsSource(const QByteArray &utf8, const QString &base);

    // The work done and saved so far, for tests and benchmarks.
    struct Counts {
        int compiles = 0;
        int stylesheetReuses = 0;
        int sourceParses = 0;
        int sourceReuses = 0;
    };
    Counts counts() const;

    struct Impl; // defined beside the transformation, which alone works with it
    Impl *impl() const { return d.get(); }

private:
    std::unique_ptr<Impl> d;
};
