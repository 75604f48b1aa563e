#include "app/ComInit.h"

void InitializeCom() {}
