#include "dbconnection.h"
