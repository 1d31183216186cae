// What the library keeps of the host: the one pointer to its Global record.
#include "klor/klor_global.h"

namespace KLOR {

// Null at load. Every create callback stores its instance's Global pointer
// here before anything else, and nothing ever clears it.
Global* gGlobal = nullptr;

}  // namespace KLOR
