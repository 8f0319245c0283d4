#include "xelbde/internal.h"
