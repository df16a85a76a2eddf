#include "fileinstaller.h"
