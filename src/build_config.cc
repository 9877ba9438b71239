#include "build_config.h"

namespace zv {
// Where this build put its programs; tests start the server and its
// companions from here.
const char* BuiltProgramDirectory() { return ZV_PROGRAM_DIR; }
// The version of the programs (the CMake project's, as the package has it).
const char* BuiltVersion() { return ZV_VERSION; }
}  // namespace zv
