#include "app/ComInit.h"

#include "platform/com/ComApi.h"

// Apartment model, as the window and pipe threads expect; never paired with
// an uninitialisation (the threads live as long as the host).
void InitializeCom() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
