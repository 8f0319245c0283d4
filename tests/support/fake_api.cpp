// Recording double of the API for the front-end tests.
#include "xelbde/xelbde.h"
