#ifndef KEYBAR_E_H
#define KEYBAR_E_H

#include "keywindow.h"
#include "ui_keybar_e_form.h"

// Accent bar of the capital E: opened by holding that vowel key.
class KeyBar_E : public KeyWindow
{
    Q_OBJECT

public:
    KeyBar_E();
    ~KeyBar_E() override;

private:
    Q_DISABLE_COPY(KeyBar_E)

    Ui::KeyBar_E_Form ui;
};

#endif  // KEYBAR_E_H
