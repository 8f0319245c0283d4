#include "tests/support/e2e.h"
