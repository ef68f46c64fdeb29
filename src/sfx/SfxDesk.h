// What the SFX window needs of the program around it: the zip options windows (its two models'
// and the folder options of the main one) and the folder path that outlives the window. This
// room defines it; the program's window registry implements it.
#pragma once

#include <QString>

namespace oz::create {
class OptionsWindow;
}

namespace oz::sfx {

class SfxDesk {
public:
    virtual create::OptionsWindow *advance() = 0;
    virtual create::OptionsWindow *advances1() = 0;
    virtual create::OptionsWindow *advances2() = 0;
    virtual QString &sfxFolderPath() = 0;

protected:
    ~SfxDesk() = default;
};

} // namespace oz::sfx
