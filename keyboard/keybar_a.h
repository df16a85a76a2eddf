#ifndef KEYBAR_A_H
#define KEYBAR_A_H

#include "keywindow.h"
#include "ui_keybar_a_form.h"

// Accent bar of the capital A: opened by holding that vowel key.
class KeyBar_A : public KeyWindow
{
    Q_OBJECT

public:
    KeyBar_A();
    ~KeyBar_A() override;

private:
    Q_DISABLE_COPY(KeyBar_A)

    Ui::KeyBar_A_Form ui;
};

#endif  // KEYBAR_A_H
