#include "keybar_i.h"

namespace {

const KeyWindow::CharacterKey<Ui::KeyBar_I_Form> characterKeys[] = {
    {&Ui::KeyBar_I_Form::panelButton_I_2, 0x00CF},  // Ï diaeresis
    {&Ui::KeyBar_I_Form::panelButton_I_3, 0x00CE},  // Î circumflex
    {&Ui::KeyBar_I_Form::panelButton_I_4, 0x00CD},  // Í acute
    {&Ui::KeyBar_I_Form::panelButton_I_5, 0x00CC},  // Ì grave
};

}  // namespace

KeyBar_I::KeyBar_I()
{
    ui.setupUi(this);
    connectCharacterKeys(ui, characterKeys);
}

KeyBar_I::~KeyBar_I() = default;
