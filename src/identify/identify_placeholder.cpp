// Placeholder until identification lands.
#include "identify/identify.h"
