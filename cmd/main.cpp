// SPDX-License-Identifier: MIT
#include "cmd/commands.h"

int main(int argc, char** argv) { return XelcmdMain(argc, argv); }
