// The two builds of the SFX window: model 1 unpacks the files; model 2 also
// starts a program from them, optionally in a temporary folder.
#pragma once

namespace oz::sfx {

class SfxWindow;

enum class Model { One, Two };

void buildSfx(SfxWindow &window, Model model);

} // namespace oz::sfx
