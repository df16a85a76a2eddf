#ifndef INPUTPANELNUMBER_H
#define INPUTPANELNUMBER_H

#include "keypanel.h"
#include "ui_inputpanelnumberform.h"

// Digit and symbol panel. Its "Shift" key is shown but does nothing.
class InputPanelNumber : public KeyPanel
{
    Q_OBJECT

public:
    InputPanelNumber();
    ~InputPanelNumber() override;

signals:
    void notifyAlphaPressed();

private slots:
    void alphaPressed();

private:
    Q_DISABLE_COPY(InputPanelNumber)

    Ui::InputPanelNumberForm ui;
};

#endif  // INPUTPANELNUMBER_H
