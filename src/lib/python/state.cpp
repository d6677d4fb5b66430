#include "python/state.h"

namespace quarn {

// Constant-initialised: ready before any other code of the module runs.
constinit BindingState binding_state;

}  // namespace quarn
