#pragma once

#include <QToolButton>

// A title-bar button drawn from a strip of four equal frames side by side: 0 normal, 1 under
// the mouse, 2 held down by the left button (the fourth is not used). It changes frames as the
// mouse works it and clicks like any button.
class SpriteButton : public QToolButton
{
    Q_OBJECT
public:
    SpriteButton(const QString &sprite, QWidget *parent);

    // Another strip for the same button, such as maximise and restore; shows its normal frame.
    void setSprite(const QString &sprite);

protected:
    bool event(QEvent *event) override;

private:
    void showFrame(int frame);

    QString strip;
};
