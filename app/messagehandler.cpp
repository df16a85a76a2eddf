#include "messagehandler.h"
