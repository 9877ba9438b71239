#include "build_config.h"

namespace zv {
// Where this build put its programs; tests start the server and its
// companions from here.
const char* BuiltProgramDirectory() { return ZV_PROGRAM_DIR; }
}  // namespace zv
