// The four extraction commands of the main window. They extract whatever
// ZipFile holds: the archive opened last, or the one just built.
#pragma once

#include "ExtractDesk.h"

#include <QString>

namespace oz::extract {

void Command2_Click(const ExtractDesk &w); // "&Unzip to folder ............."
void Command5_Click(const ExtractDesk &w); // "U&nzip to current folder"
void mnuBr13_Click(const ExtractDesk &w);  // "&Unzip to current folder"
void mnuUnzip_Click(const ExtractDesk &w); // "&Unzip", into DestDir, with log.xml
void DestDir_Change(const ExtractDesk &w);
// Opens the entry listed in the row with the desktop's application for it, extracted into the
// archive's viewing folder.
void List1_DblClick(const ExtractDesk &w, int row);

// The folder beside an archive named after it: the path without a final
// ".zip" of any letter case; a name without that ending is kept whole.
QString destinationNextTo(const QString &archive);

} // namespace oz::extract
