#ifndef KEYBAR_O_H
#define KEYBAR_O_H

#include "keywindow.h"
#include "ui_keybar_o_form.h"

// Accent bar of the capital O: opened by holding that vowel key.
class KeyBar_O : public KeyWindow
{
    Q_OBJECT

public:
    KeyBar_O();
    ~KeyBar_O() override;

private:
    Q_DISABLE_COPY(KeyBar_O)

    Ui::KeyBar_O_Form ui;
};

#endif  // KEYBAR_O_H
