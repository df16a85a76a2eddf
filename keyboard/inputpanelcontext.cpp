#include "inputpanelcontext.h"
