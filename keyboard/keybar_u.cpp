#include "keybar_u.h"

namespace {

const KeyWindow::CharacterKey<Ui::KeyBar_U_Form> characterKeys[] = {
    {&Ui::KeyBar_U_Form::panelButton_U_2, 0x00DC},  // Ü diaeresis
    {&Ui::KeyBar_U_Form::panelButton_U_3, 0x00DB},  // Û circumflex
    {&Ui::KeyBar_U_Form::panelButton_U_4, 0x00DA},  // Ú acute
    {&Ui::KeyBar_U_Form::panelButton_U_5, 0x00D9},  // Ù grave
};

}  // namespace

KeyBar_U::KeyBar_U()
{
    ui.setupUi(this);
    connectCharacterKeys(ui, characterKeys);
}

KeyBar_U::~KeyBar_U() = default;
