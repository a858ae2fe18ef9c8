#include "api/library_state.h"

namespace TalvekLib {

LibraryState& libraryState() {
    // Never destroyed: the state lives until the library is unloaded, and the
    // SFIO arrays it owns may still be read by the host during unload.
    static LibraryState* state = new LibraryState();
    return *state;
}

}  // namespace TalvekLib
