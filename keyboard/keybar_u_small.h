#ifndef KEYBAR_U_SMALL_H
#define KEYBAR_U_SMALL_H

#include "keywindow.h"
#include "ui_keybar_u_small_form.h"

// Accent bar of the small u: opened by holding that vowel key.
class KeyBar_U_small : public KeyWindow
{
    Q_OBJECT

public:
    KeyBar_U_small();
    ~KeyBar_U_small() override;

private:
    Q_DISABLE_COPY(KeyBar_U_small)

    Ui::KeyBar_U_small_Form ui;
};

#endif  // KEYBAR_U_SMALL_H
