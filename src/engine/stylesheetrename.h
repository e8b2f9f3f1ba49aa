#pragma once

// Renaming what a stylesheet declares, planned over its model: the edits that rename a
// declaration and every reference to it across the include/import tree, or why it cannot be.

#include "engine/stylesheetmodel.h"

#include <QList>
#include <QString>

#include <functional>

namespace stylesheet {

struct RenameEdit {
    Place place;     // exactly the name as written (a variable's without its $)
    QString newText; // what replaces it
    bool operator==(const RenameEdit &) const = default;
};

struct RenamePlan {
    QString error;           // why the rename cannot be done, for the user; empty when it can
    QList<RenameEdit> edits; // by file name, then from the end of the file back: apply them in order
};

// Plans renaming declaration (an index into model.declarations) to newName, a QName (a
// function's needs a prefix): variables and parameters, named templates, modes, keys,
// attribute sets and functions. A parameter's with-params under call-template are renamed with
// it; those under apply-templates are not (which template they reach is not known). A
// function's calls keep the prefix they use while the name's namespace stays. Refused when
// newName is no QName, when a declaration of that name is already visible where the renamed
// one or a reference to it is (or would capture a reference), when an edit falls in a file that
// writable says no to, and for what has no name to rename (includes, a template without a name,
// a name written through an entity...).
RenamePlan planRename(const Model &model, int declaration, const QString &newName,
                      const std::function<bool(const QString &file)> &writable);

} // namespace stylesheet
