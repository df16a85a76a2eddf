#ifndef KEYBAR_U_H
#define KEYBAR_U_H

#include "keywindow.h"
#include "ui_keybar_u_form.h"

// Accent bar of the capital U: opened by holding that vowel key.
class KeyBar_U : public KeyWindow
{
    Q_OBJECT

public:
    KeyBar_U();
    ~KeyBar_U() override;

private:
    Q_DISABLE_COPY(KeyBar_U)

    Ui::KeyBar_U_Form ui;
};

#endif  // KEYBAR_U_H
