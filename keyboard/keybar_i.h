#ifndef KEYBAR_I_H
#define KEYBAR_I_H

#include "keywindow.h"
#include "ui_keybar_i_form.h"

// Accent bar of the capital I: opened by holding that vowel key.
class KeyBar_I : public KeyWindow
{
    Q_OBJECT

public:
    KeyBar_I();
    ~KeyBar_I() override;

private:
    Q_DISABLE_COPY(KeyBar_I)

    Ui::KeyBar_I_Form ui;
};

#endif  // KEYBAR_I_H
