#include "aes_encryption.h"
