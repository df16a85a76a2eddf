#include "ifileinstaller.h"

IFileInstaller::IFileInstaller(QObject* parent)
    : QObject(parent)
{
}

IFileInstaller::~IFileInstaller() = default;
