// Authenticode signatures of Windows executables, made by osslsigncode (Debian's package of
// that name): this is the one place that runs it.
#pragma once

#include "ArchiveComponent.h"

namespace oz::archive::detail {

// Signs the Windows executable open on fd, whose archive ends where the file does, as the file
// target will be, product the name Windows shows for it when it asks. The signature follows the
// archive outside its comment: 7-Zip reads the program's certificate table and looks for the
// archive before it, so a comment reaching into the signature would end the archive short for
// it, while the readers that look back from the end of the file skip what follows the end
// record. A signature that would hide the archive from them is refused. The signed file then
// replaces the content of fd. The certificates must be valid today. Throws ArchiveError with the
// reason; fd then holds no signed program.
void signExecutable(int fd, const QString &target, const QString &product, const ExeSettings &exe);

} // namespace oz::archive::detail
