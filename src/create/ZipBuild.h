// Building a zip archive from the main window's selection: the button's
// road ("Save &Zip File As...") and the menu's, which stages the folder's top
// level in the working folder and adds that folder as it stands.
#pragma once

#include "ZipDesk.h"

namespace oz::create {

enum class BuildFrom { Button, Menu };

void buildZip(const ZipDesk &desk, BuildFrom from);

} // namespace oz::create
