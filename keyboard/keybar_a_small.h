#ifndef KEYBAR_A_SMALL_H
#define KEYBAR_A_SMALL_H

#include "keywindow.h"
#include "ui_keybar_a_small_form.h"

// Accent bar of the small a: opened by holding that vowel key.
class KeyBar_A_small : public KeyWindow
{
    Q_OBJECT

public:
    KeyBar_A_small();
    ~KeyBar_A_small() override;

private:
    Q_DISABLE_COPY(KeyBar_A_small)

    Ui::KeyBar_A_small_Form ui;
};

#endif  // KEYBAR_A_SMALL_H
