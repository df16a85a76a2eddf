#include "fileutils.h"
