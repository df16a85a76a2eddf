#include "installerviewmanager.h"
