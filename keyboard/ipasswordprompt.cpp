#include "ipasswordprompt.h"

IPasswordPrompt::IPasswordPrompt(QObject* parent)
    : QObject(parent)
{
}

IPasswordPrompt::~IPasswordPrompt() = default;
