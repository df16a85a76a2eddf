#ifndef KEYBAR_E_SMALL_H
#define KEYBAR_E_SMALL_H

#include "keywindow.h"
#include "ui_keybar_e_small_form.h"

// Accent bar of the small e: opened by holding that vowel key.
class KeyBar_E_small : public KeyWindow
{
    Q_OBJECT

public:
    KeyBar_E_small();
    ~KeyBar_E_small() override;

private:
    Q_DISABLE_COPY(KeyBar_E_small)

    Ui::KeyBar_E_small_Form ui;
};

#endif  // KEYBAR_E_SMALL_H
