#include "tcpcom/tcpcom.h"
