// The options windows of the builds: "advance" for zip archives, "advances1"
// and "advances2" for the two self-extracting models. The builds read the
// controls directly at the moment they run.
#pragma once

#include <QWidget>

#include <functional>
#include <vector>

class QCheckBox;
class QLineEdit;

namespace oz::create {

class OptionsWindow : public QWidget {
    Q_OBJECT
public:
    enum class Kind { Zip, Sfx1, Sfx2 };

    OptionsWindow(Kind kind, QWidget *owner, std::function<void()> showPasswordDialog);

    QLineEdit *FilePattern;
    QLineEdit *ExclusionsText;
    QCheckBox *Recurse;
    QCheckBox *SaveFullFilenames;
    QCheckBox *ArchiveOnly;
    QCheckBox *IncludeSystem;
    QCheckBox *IncludeHidden;
    QCheckBox *autotemp = nullptr;  // advances2 only
    QLineEdit *parameter = nullptr; // advances2 only
    // What Windows shows of a Windows program and the signature it trusts: advances1 and
    // advances2 only.
    QLineEdit *product = nullptr;
    QLineEdit *version = nullptr;
    QLineEdit *company = nullptr;
    QLineEdit *signcert = nullptr;
    QLineEdit *signkey = nullptr;
    QLineEdit *signpass = nullptr;
    QLineEdit *timestamp = nullptr;

    // A check box as the builds see it: 1 when checked, else 0.
    static int value(const QCheckBox *box);

public slots:
    void Form_Load();
    void Command1_Click();
    void zippas_Click();

private:
    void buildFlagFrames();
    void buildWindowsFrame(int height, std::vector<QWidget *> &chain);
    std::function<void()> showPasswordDialog_;
};

} // namespace oz::create
