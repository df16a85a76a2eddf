#include "keypanel.h"

#include <QCloseEvent>
#include <QEvent>
#include <QHideEvent>

KeyPanel::KeyPanel() = default;

KeyPanel::~KeyPanel() = default;

bool KeyPanel::event(QEvent* e)
{
    // A key takes a press on itself, so a press that reaches the panel landed
    // between the keys or in a margin.
    if (e->type() == QEvent::MouseButtonPress)
        emit notifyOutsidePressed();
    return KeyWindow::event(e);
}

void KeyPanel::closeEvent(QCloseEvent* e)
{
    Q_UNUSED(e)
    emit notifyCloseEvent();
}

void KeyPanel::hideEvent(QHideEvent* e)
{
    Q_UNUSED(e)
    emit notifyHideEvent();
}

void KeyPanel::backspacePressed()
{
    emit notifyBackspacePressed();
}

void KeyPanel::enterPressed()
{
    emit notifyEnterPressed();
}

void KeyPanel::cancelPressed()
{
    emit notifyCancelPressed();
}
