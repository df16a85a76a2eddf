#ifndef KEYPANEL_H
#define KEYPANEL_H

#include "keywindow.h"

class QCloseEvent;
class QHideEvent;

// A full key panel: character keys plus the special keys that every panel
// has (backspace, Ok, Cancel), and reports of presses beside the keys and of
// the panel being hidden or closed.
class KeyPanel : public KeyWindow
{
    Q_OBJECT

public:
    ~KeyPanel() override;

signals:
    void notifyHideEvent();
    void notifyCloseEvent();
    void notifyBackspacePressed();
    void notifyEnterPressed();
    void notifyCancelPressed();
    // A vowel key went down; the number panel never emits it.
    void notifyKeyPressed(QChar c);
    void notifyOutsidePressed();

protected:
    KeyPanel();

    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void hideEvent(QHideEvent* e) override;

private slots:
    void backspacePressed();
    void enterPressed();
    void cancelPressed();

private:
    Q_DISABLE_COPY(KeyPanel)
};

#endif  // KEYPANEL_H
