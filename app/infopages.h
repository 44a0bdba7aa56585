#pragma once

// The description tab and the promotion panel under the tabs: their controls, the fixed
// description text, and the two web links.

#include "common/handlerrunner.h"

#include <QObject>
#include <QPushButton>
#include <QString>
#include <functional>

class QFrame;
class QLabel;
class QPixmap;
class QPlainTextEdit;
class QWidget;

namespace app {

// Registers the pictures and the description text (":/icons/vintra-<N>.png", ":/images/arrow.png",
// ":/images/speaker.png", ":/text/description.txt"). They live in a static library, so the
// executable must ask for them once; setupOn() does it too. Safe to call more than once.
void initInfoPagesResources();

// A picture whose bottom-left pixel colour is made transparent everywhere in it, the way the
// pictures on our buttons are drawn. A null pixmap when the file cannot be read.
QPixmap keyedPicture(const QString &path);

// The site and exercises addresses set at build time.
QString siteUrl();
QString exercisesUrl();

// A push button that shows its picture to the right of the caption, 4 px apart, the pair
// centred on the button. The style still draws the face and the focus frame.
class RightPictureButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
    static constexpr int kPictureGap = 4;

protected:
    void paintEvent(QPaintEvent *event) override;
};

class InfoPages : public QObject {
    Q_OBJECT
public:
    // Every click runs through `runner`, the window's error path.
    explicit InfoPages(vintra::HandlerRunner runner, QObject *parent = nullptr);

    // Builds the tab's and the panel's controls directly on the given widgets (positions are
    // relative to them), loads the description text, sets the picture and wires the clicks.
    // Call once.
    void setupOn(QWidget *sTabSheet2, QFrame *sPanel11);

    // Open the site (the button and the link label) or the exercises page in the default
    // browser. One request per call; the outcome is not looked at.
    void BitBtn1Click();
    void BitBtn2Click();

    // The controls, valid after setupOn(); the window owns them through the page and the panel.
    QPlainTextEdit *Memo2 = nullptr;
    QPushButton *BitBtn2 = nullptr;
    QLabel *sLabel11 = nullptr;
    QLabel *sLabel12 = nullptr;
    QLabel *Label3 = nullptr;
    RightPictureButton *BitBtn1 = nullptr;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void run(const std::function<void()> &handler);

    vintra::HandlerRunner runner_;
    bool label3Pressed_ = false;
};

} // namespace app
