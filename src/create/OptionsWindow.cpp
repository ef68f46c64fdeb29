#include "OptionsWindow.h"

#include "widgets/Controls.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace oz::create {

using namespace oz::widgets;

OptionsWindow::OptionsWindow(Kind kind, QWidget *owner, std::function<void()> showPasswordDialog)
    : QWidget(owner, Qt::Window), showPasswordDialog_(std::move(showPasswordDialog))
{
    const bool sfx2 = kind == Kind::Sfx2;
    setObjectName(kind == Kind::Zip ? QStringLiteral("advance")
                      : sfx2        ? QStringLiteral("advances2")
                                    : QStringLiteral("advances1"));
    setWindowTitle(kind == Kind::Zip ? QStringLiteral("Advance Zip archive") : QStringLiteral("Advance SFX archive"));
    setAttribute(Qt::WA_DeleteOnClose);
    setFont(makeFont(QStringLiteral("Arial"), 9));
    // The SFX windows are wider by a column for the Windows program, beside what they always held.
    setFixedSize(scaled(QSize(kind == Kind::Zip ? 489 : 778, sfx2 ? 353 : 273)));

    frame(this, "Frame1", QStringLiteral("Enter a wildcarded filename for files you wish to include. Ex: *.*"),
          {8, 8, 473, 57});
    label(this, "Label1", QStringLiteral("File name or pattern:"), {20, 32, 130, 20});
    FilePattern = textBox(this, "FilePattern", {156, 30, 200, 22});
    frame(this, "Frame2",
          kind == Kind::Sfx1 ? QStringLiteral("Enter a wildcarded filename for files you wish to exclude. Ex: *.mpg")
                             : QStringLiteral("Enter a wildcarded filename for files you wish to exclude. Ex: *.wav"),
          {8, 72, 473, 57});
    ExclusionsText = textBox(this, "ExclusionsText", {156, 94, 120, 22});
    ExclusionsText->setMaxLength(10);

    buildFlagFrames();

    int buttonsY = 236;
    std::vector<QWidget *> chain{FilePattern, ExclusionsText, Recurse,      SaveFullFilenames,
                                 ArchiveOnly, IncludeSystem,  IncludeHidden};
    if (sfx2) {
        frame(this, "Frame5",
              QStringLiteral("Specific extract to temp or specific directory and parameter for .exe file"),
              {8, 232, 473, 81});
        autotemp = checkBox(this, "autotemp", QStringLiteral("Auto extract to temp directory"), {20, 254, 260, 20});
        label(this, "Label8", QStringLiteral("Parameter : "), {20, 282, 80, 20});
        parameter = textBox(this, "parameter", {104, 280, 360, 22});
        chain.push_back(autotemp);
        chain.push_back(parameter);
        buttonsY = 320;
    }
    if (kind != Kind::Zip)
        buildWindowsFrame(sfx2 ? 305 : 225, chain);
    auto *ok = button(this, "Command1", QStringLiteral("&OK"), {300, buttonsY, 81, 25});
    auto *pw = button(this, "zippas", QStringLiteral("Set &Password"), {392, buttonsY, 89, 25});
    chain.push_back(ok);
    chain.push_back(pw);
    setTabChain(chain);
    connect(ok, &QPushButton::clicked, this, &OptionsWindow::Command1_Click);
    connect(pw, &QPushButton::clicked, this, &OptionsWindow::zippas_Click);
    // The options apply as they are set: Escape puts the window away as OK does, keeping them.
    dialogKeys(this, ok, [this] { hide(); });

    Form_Load();
}

// The check boxes of folders and attributes, each with its label as buddy.
void OptionsWindow::buildFlagFrames()
{
    frame(this, "Frame3", QStringLiteral("Folders"), {8, 136, 200, 89});
    Recurse = checkBox(this, "Recurse", QString(), {20, 160, 17, 17});
    auto *l2 = label(this, "Label2", QStringLiteral("Include subdirs"), {42, 158, 150, 20});
    SaveFullFilenames = checkBox(this, "SaveFullFilenames", QString(), {20, 192, 17, 17});
    auto *l3 = label(this, "Label3", QStringLiteral("Save extra folder info"), {42, 190, 150, 20});

    frame(this, "Frame4", QStringLiteral("Attributes"), {216, 136, 265, 89});
    ArchiveOnly = checkBox(this, "ArchiveOnly", QString(), {228, 158, 17, 17});
    auto *l4 = label(this, "Label4", QStringLiteral("Include only if archive attribute is set"), {250, 156, 225, 20});
    IncludeSystem = checkBox(this, "IncludeSystem", QString(), {228, 180, 17, 17});
    auto *l5 = label(this, "Label5", QStringLiteral("Include system files"), {250, 178, 225, 20});
    IncludeHidden = checkBox(this, "IncludeHidden", QString(), {228, 202, 17, 17});
    auto *l6 = label(this, "Label6", QStringLiteral("Include hidden files"), {250, 200, 225, 20});
    l2->setBuddy(Recurse);
    l3->setBuddy(SaveFullFilenames);
    l4->setBuddy(ArchiveOnly);
    l5->setBuddy(IncludeSystem);
    l6->setBuddy(IncludeHidden);
}

// The version resource and the signature of a Windows program (.exe), in a column of their own.
void OptionsWindow::buildWindowsFrame(int height, std::vector<QWidget *> &chain)
{
    frame(this, "Frame6", QStringLiteral("Windows program (.exe): version and signature"), {489, 8, 281, height});
    struct Row {
        const char *label;
        const char *name;
        QString caption;
        QLineEdit *&box;
    };
    const Row rows[] = {
        {"Label9", "product", QStringLiteral("&Product:"), product},
        {"Label10", "version", QStringLiteral("&Version:"), version},
        {"Label11", "company", QStringLiteral("Co&mpany:"), company},
        {"Label12", "signcert", QStringLiteral("&Certificate:"), signcert},
        {"Label13", "signkey", QStringLiteral("Private &key:"), signkey},
        {"Label14", "signpass", QStringLiteral("Key pass&word:"), signpass},
        {"Label15", "timestamp", QStringLiteral("&Time stamp:"), timestamp},
    };
    int y = 30;
    for (const Row &row : rows) {
        auto *l = label(this, row.label, row.caption, {501, y + 2, 86, 20});
        row.box = textBox(this, row.name, {589, y, 169, 22});
        l->setBuddy(row.box);
        chain.push_back(row.box);
        // A gap between what Explorer shows and what signs it.
        y += row.box == company ? 34 : 26;
    }
    signpass->setEchoMode(QLineEdit::Password);
    product->setPlaceholderText(QStringLiteral("the executable's name"));
    version->setPlaceholderText(QStringLiteral("as 1.2.3.4"));
    timestamp->setPlaceholderText(QStringLiteral("https://"));
}

void OptionsWindow::Form_Load()
{
    Recurse->setChecked(true);
    SaveFullFilenames->setChecked(false);
    ArchiveOnly->setChecked(false);
    IncludeHidden->setChecked(false);
    IncludeSystem->setChecked(false);
    FilePattern->setText(QStringLiteral("*.*"));
    ExclusionsText->setText(QString());
    if (autotemp)
        autotemp->setChecked(true);
    if (parameter)
        parameter->setText(QString());
    for (QLineEdit *box : {product, version, company, signcert, signkey, signpass, timestamp})
        if (box)
            box->setText(QString());
}

void OptionsWindow::Command1_Click()
{
    hide();
}

void OptionsWindow::zippas_Click()
{
    showPasswordDialog_();
}

int OptionsWindow::value(const QCheckBox *box)
{
    return box->checkState() == Qt::Checked ? 1 : 0;
}

} // namespace oz::create
