// The About window: the picture, the version and the link to the web page.
#pragma once

#include <QWidget>

class QLabel;

namespace oz::app {

class AboutWindow : public QWidget {
    Q_OBJECT
public:
    explicit AboutWindow(QWidget *owner);

    // The project's web page, and the address the label shows for it.
    static constexpr const char *webAddress = "https://www.orvelzip.example/";
    static constexpr const char *shownAddress = "www.orvelzip.example";

    QLabel *Label1, *Label3, *Label5;

public slots:
    void Label5_Click();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QPixmap picture_;
};

} // namespace oz::app
