#include "engine/stylesheetrename.h"

#include <QFileInfo>

#include <algorithm>

namespace stylesheet {

namespace {

using DKind = Declaration::Kind;
using RKind = Reference::Kind;

bool isNameStart(QChar c)
{
    return c.isLetter() || c == QLatin1Char('_');
}

bool isNameChar(QChar c)
{
    return isNameStart(c) || c.isDigit() || c.isMark() || c == QLatin1Char('-') || c == QLatin1Char('.') || c == QChar(0xB7);
}

bool isNCName(QStringView s)
{
    return !s.isEmpty() && isNameStart(s.front()) && std::all_of(s.begin(), s.end(), isNameChar);
}

bool isQName(QStringView s)
{
    const qsizetype colon = s.indexOf(QLatin1Char(':'));
    return colon < 0 ? isNCName(s) : isNCName(s.left(colon)) && isNCName(s.mid(colon + 1));
}

QStringView prefixOf(QStringView name)
{
    const qsizetype colon = name.indexOf(QLatin1Char(':'));
    return colon < 0 ? QStringView() : name.left(colon);
}

QStringView localOf(QStringView name)
{
    return name.mid(name.indexOf(QLatin1Char(':')) + 1);
}

bool isVariable(DKind k)
{
    return k == DKind::Variable || k == DKind::Param;
}

// The reference kinds that name a declaration of kind.
bool refersTo(RKind r, DKind d)
{
    switch (d) {
    case DKind::Variable:
    case DKind::Param:
        return r == RKind::Variable || r == RKind::WithParam;
    case DKind::Template:
        return r == RKind::CallTemplate;
    case DKind::Mode:
        return r == RKind::Mode;
    case DKind::Key:
        return r == RKind::Key;
    case DKind::AttributeSet:
        return r == RKind::AttributeSet;
    case DKind::Function:
        return r == RKind::Function;
    default:
        return false;
    }
}

// A local variable or parameter named name visible at offset of file.
bool localVisible(const Model &model, const QString &name, const QString &file, int offset, int except)
{
    for (int i = 0; i < model.declarations.size(); ++i) {
        const Declaration &o = model.declarations[i];
        if (i != except && !o.global && isVariable(o.kind) && o.name == name && o.place.file == file && o.scopeStart <= offset
            && offset <= o.scopeEnd)
            return true;
    }
    return false;
}

} // namespace

RenamePlan planRename(const Model &model, int declaration, const QString &newName,
                      const std::function<bool(const QString &file)> &writable)
{
    RenamePlan plan;
    if (declaration < 0 || declaration >= model.declarations.size()) {
        plan.error = QStringLiteral("Nothing to rename here");
        return plan;
    }
    const Declaration &d = model.declarations[declaration];
    const bool renamable = isVariable(d.kind) || d.kind == DKind::Mode || d.kind == DKind::Key || d.kind == DKind::AttributeSet
        || d.kind == DKind::Function || (d.kind == DKind::Template && !d.name.isEmpty());
    if (!renamable || d.name.isEmpty()) {
        plan.error = QStringLiteral("Nothing to rename here");
        return plan;
    }
    const QString name = newName.trimmed();
    if (!isQName(name) || (d.kind == DKind::Mode && name.startsWith(QLatin1Char('#')))) {
        plan.error = QStringLiteral("\"%1\" is not a valid name").arg(newName);
        return plan;
    }
    if (d.kind == DKind::Function && prefixOf(name).isEmpty()) {
        plan.error = QStringLiteral("A function's name needs a prefix");
        return plan;
    }

    // What is renamed: the declaration (attribute sets: every one of the name, they merge) and
    // the references to it.
    QList<int> declarations{declaration};
    if (d.kind == DKind::AttributeSet)
        for (int i = 0; i < model.declarations.size(); ++i)
            if (i != declaration && model.declarations[i].kind == DKind::AttributeSet && model.declarations[i].global
                && model.declarations[i].name == d.name)
                declarations << i;
    QList<int> references;
    for (int i = 0; i < model.references.size(); ++i)
        if (declarations.contains(model.references[i].declaration) && refersTo(model.references[i].kind, d.kind))
            references << i;

    // Collisions: another declaration of that name where it would be seen instead, or would be
    // hidden by the renamed one.
    const QString already = QStringLiteral("\"%1\" is already declared in this scope").arg(name);
    if (name != d.name) {
        for (int i = 0; i < model.declarations.size(); ++i) {
            const Declaration &o = model.declarations[i];
            if (i == declaration || !o.global || o.name != name)
                continue;
            const bool sameSpace = isVariable(d.kind) ? isVariable(o.kind) : o.kind == d.kind;
            // A local renamed to a global's name hides it only where references to it are.
            if (sameSpace && (d.global || !isVariable(d.kind))) {
                plan.error = already;
                return plan;
            }
        }
        if (isVariable(d.kind)) {
            if (!d.global && localVisible(model, name, d.place.file, d.place.offset, declaration)) {
                plan.error = already;
                return plan;
            }
            for (const int ref : std::as_const(references)) {
                const Reference &r = model.references[ref];
                if (r.kind == RKind::Variable && localVisible(model, name, r.place.file, r.place.offset, declaration)) {
                    plan.error = already;
                    return plan;
                }
            }
            // A local of that name declared where the renamed one is seen would hide it.
            if (!d.global)
                for (const Declaration &o : model.declarations)
                    if (!o.global && isVariable(o.kind) && o.name == name && o.place.file == d.place.file
                        && o.place.offset >= d.scopeStart && o.place.offset <= d.scopeEnd) {
                        plan.error = already;
                        return plan;
                    }
            // A local renamed would capture the references to that name within its scope.
            if (!d.global)
                for (const Reference &r : model.references)
                    if (r.kind == RKind::Variable && r.name == name && r.place.file == d.place.file && r.place.offset >= d.scopeStart
                        && r.place.offset <= d.scopeEnd) {
                        plan.error = already;
                        return plan;
                    }
        }
    }

    // The edits. Every place must hold the name exactly as written, or it came from an entity.
    const QStringView newPrefix = prefixOf(name);
    const bool samePrefix = newPrefix == prefixOf(d.name);
    const auto textFor = [&](const QString &written) {
        // A function's call through another prefix of the same namespace keeps its prefix.
        if (d.kind == DKind::Function && samePrefix && !prefixOf(written).isEmpty())
            return prefixOf(written).toString() + QLatin1Char(':') + localOf(name).toString();
        return name;
    };
    const auto add = [&](const Place &p, const QString &written) {
        if (p.length != written.size())
            return false;
        const RenameEdit edit{p, textFor(written)};
        if (!plan.edits.contains(edit))
            plan.edits << edit;
        return true;
    };
    for (const int i : std::as_const(declarations))
        if (!add(model.declarations[i].place, model.declarations[i].name)) {
            plan.error = QStringLiteral("Nothing to rename here");
            plan.edits.clear();
            return plan;
        }
    for (const int ref : std::as_const(references))
        if (!add(model.references[ref].place, model.references[ref].name)) {
            plan.error = QStringLiteral("Nothing to rename here");
            plan.edits.clear();
            return plan;
        }
    for (const RenameEdit &e : std::as_const(plan.edits))
        if (writable && !writable(e.place.file)) {
            plan.error = QStringLiteral("%1 is not writable").arg(QFileInfo(e.place.file).fileName());
            plan.edits.clear();
            return plan;
        }
    // Within a file from the end back, so that each edit leaves the places of the next alone.
    std::sort(plan.edits.begin(), plan.edits.end(), [](const RenameEdit &a, const RenameEdit &b) {
        if (a.place.file != b.place.file)
            return a.place.file < b.place.file;
        return a.place.offset > b.place.offset;
    });
    return plan;
}

} // namespace stylesheet
