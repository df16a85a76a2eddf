#ifndef KEYBOARDCHARACTERS_H
#define KEYBOARDCHARACTERS_H

#include <QString>

// What the on-screen keyboard can type, read from its own key windows (the
// three panels and the ten accent bars), so that nothing else can drift from
// it. Needs a QApplication; the windows are made and thrown away, never shown.
namespace KeyboardCharacters {

QString typeable();

}  // namespace KeyboardCharacters

#endif  // KEYBOARDCHARACTERS_H
