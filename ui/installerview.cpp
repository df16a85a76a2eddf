#include "installerview.h"
