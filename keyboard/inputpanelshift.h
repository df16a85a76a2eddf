#ifndef INPUTPANELSHIFT_H
#define INPUTPANELSHIFT_H

#include "keypanel.h"
#include "ui_inputpanelshiftform.h"

// Lower-case letter panel: the keys of InputPanel, with small letters.
class InputPanelShift : public KeyPanel
{
    Q_OBJECT

public:
    InputPanelShift();
    ~InputPanelShift() override;

signals:
    void notifyUnShiftPressed();
    void notifyNumberPressed();

private slots:
    void unShiftPressed();
    void numberPressed();
    void keyPressedA();
    void keyPressedE();
    void keyPressedI();
    void keyPressedO();
    void keyPressedU();

private:
    Q_DISABLE_COPY(InputPanelShift)

    Ui::InputPanelShiftForm ui;
};

#endif  // INPUTPANELSHIFT_H
