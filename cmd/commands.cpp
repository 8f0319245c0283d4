#include "cmd/commands.h"

int XelcmdMain(int, char**) { return 0; }
