#ifndef KEYBAR_I_SMALL_H
#define KEYBAR_I_SMALL_H

#include "keywindow.h"
#include "ui_keybar_i_small_form.h"

// Accent bar of the small i: opened by holding that vowel key.
class KeyBar_I_small : public KeyWindow
{
    Q_OBJECT

public:
    KeyBar_I_small();
    ~KeyBar_I_small() override;

private:
    Q_DISABLE_COPY(KeyBar_I_small)

    Ui::KeyBar_I_small_Form ui;
};

#endif  // KEYBAR_I_SMALL_H
