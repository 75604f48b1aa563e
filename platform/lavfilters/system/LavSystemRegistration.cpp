// Registers the system splitter and decoders when the program starts.
// Linked into programs (never into the .ax modules, whose code may be
// unloaded) through the lavsystem library, whose link option keeps this
// otherwise unreferenced object.
#include "platform/lavfilters/filters/LavSystemFilters.h"

extern "C" {
extern const int g_marlinLavSystemFilters;
const int g_marlinLavSystemFilters = 1;
}

namespace {

struct Registration
{
    Registration() { lav::RegisterSystemFilters(); }
};
const Registration g_registration;

}  // namespace
