#ifndef INPUTPANEL_H
#define INPUTPANEL_H

#include "keypanel.h"
#include "ui_inputpanelform.h"

// Upper-case letter panel (QWERTZ); the panel the keyboard shows first.
class InputPanel : public KeyPanel
{
    Q_OBJECT

public:
    InputPanel();
    ~InputPanel() override;

signals:
    void notifyShiftPressed();
    void notifyNumberPressed();

private slots:
    void shiftPressed();
    void numberPressed();
    void keyPressedA();
    void keyPressedE();
    void keyPressedI();
    void keyPressedO();
    void keyPressedU();

private:
    Q_DISABLE_COPY(InputPanel)

    Ui::InputPanelForm ui;
};

#endif  // INPUTPANEL_H
