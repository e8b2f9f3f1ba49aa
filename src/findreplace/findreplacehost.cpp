#include "document/frmeditor.h"

// The find and replace dialog is being built; until it lands the commands do nothing.
void frmEditor::showFindDialog()
{
}

void frmEditor::showReplaceDialog()
{
}
