#include "ReplaceQuestion.h"

#include "Log.h"

#include <QLocale>
#include <QMessageBox>
#include <QPushButton>

#include <array>

namespace oz::platform {

namespace {

constexpr std::array choices{ReplaceChoice::Replace, ReplaceChoice::ReplaceAll, ReplaceChoice::Keep,
                             ReplaceChoice::KeepAll, ReplaceChoice::Stop};

class QtReplaceBackend : public ReplaceBackend {
public:
    ReplaceChoice ask(QWidget *parent, const ReplaceFacts &, const QString &text) override
    {
        QMessageBox box(parent);
        box.setWindowTitle(QStringLiteral("Orvel Zip"));
        box.setIcon(QMessageBox::Question);
        box.setText(text);
        std::array<QPushButton *, choices.size()> buttons{};
        for (std::size_t i = 0; i < choices.size(); ++i)
            buttons[i] = box.addButton(choiceName(choices[i]), QMessageBox::ActionRole);
        // Enter keeps the file, Escape and the close box stop: neither loses anything.
        box.setDefaultButton(buttons[2]);
        box.setEscapeButton(buttons[4]);
        box.exec();
        for (std::size_t i = 0; i < choices.size(); ++i)
            if (box.clickedButton() == buttons[i])
                return choices[i];
        return ReplaceChoice::Stop;
    }
};

ReplaceBackend *installedReplace = nullptr;

QString describe(qint64 size, const QDateTime &modified)
{
    const QString bytes
        = size < 0 ? QStringLiteral("size unknown") : QLocale::system().toString(size) + QStringLiteral(" bytes");
    const QString time = modified.isValid() ? modified.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                            : QStringLiteral("time unknown");
    return bytes + QStringLiteral(", modified ") + time;
}

} // namespace

void setReplaceBackend(ReplaceBackend *backend)
{
    installedReplace = backend;
}

QString replaceText(const ReplaceFacts &facts)
{
    return QStringLiteral("This file is there already:\n%1\n\nOn disk: %2\nIn the archive: %3\n\n"
                          "Replace it with the one from the archive?")
        .arg(facts.path, describe(facts.size, facts.modified), describe(facts.newSize, facts.newModified));
}

QString choiceName(ReplaceChoice choice)
{
    switch (choice) {
    case ReplaceChoice::Replace: return QStringLiteral("Replace");
    case ReplaceChoice::ReplaceAll: return QStringLiteral("Replace all");
    case ReplaceChoice::Keep: return QStringLiteral("Keep");
    case ReplaceChoice::KeepAll: return QStringLiteral("Keep all");
    case ReplaceChoice::Stop: break;
    }
    return QStringLiteral("Stop");
}

ReplaceChoice askReplace(QWidget *parent, const ReplaceFacts &facts)
{
    const QString text = replaceText(facts);
    qCInfo(lcUi).noquote() << "question" << QStringLiteral("title=\"Orvel Zip\" text=\"%1\"").arg(text);
    static QtReplaceBackend real;
    const ReplaceChoice answer
        = (installedReplace ? *installedReplace : static_cast<ReplaceBackend &>(real)).ask(parent, facts, text);
    qCInfo(lcUi).noquote() << "answer" << choiceName(answer);
    return answer;
}

} // namespace oz::platform
