#include "keybar_i_small.h"

namespace {

const KeyWindow::CharacterKey<Ui::KeyBar_I_small_Form> characterKeys[] = {
    {&Ui::KeyBar_I_small_Form::panelButton_I_2, 0x00EF},  // ï diaeresis
    {&Ui::KeyBar_I_small_Form::panelButton_I_3, 0x00EE},  // î circumflex
    {&Ui::KeyBar_I_small_Form::panelButton_I_4, 0x00ED},  // í acute
    {&Ui::KeyBar_I_small_Form::panelButton_I_5, 0x00EC},  // ì grave
};

}  // namespace

KeyBar_I_small::KeyBar_I_small()
{
    ui.setupUi(this);
    connectCharacterKeys(ui, characterKeys);
}

KeyBar_I_small::~KeyBar_I_small() = default;
