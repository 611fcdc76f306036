#include "sim/at_modem.h"
