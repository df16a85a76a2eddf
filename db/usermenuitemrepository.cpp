#include "usermenuitemrepository.h"
