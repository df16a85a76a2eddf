#ifndef KEYBAR_O_SMALL_H
#define KEYBAR_O_SMALL_H

#include "keywindow.h"
#include "ui_keybar_o_small_form.h"

// Accent bar of the small o: opened by holding that vowel key.
class KeyBar_O_small : public KeyWindow
{
    Q_OBJECT

public:
    KeyBar_O_small();
    ~KeyBar_O_small() override;

private:
    Q_DISABLE_COPY(KeyBar_O_small)

    Ui::KeyBar_O_small_Form ui;
};

#endif  // KEYBAR_O_SMALL_H
