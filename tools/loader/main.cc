// Loader.exe: the importer. Loads received table files into MySQL; see
// db/importer.h for the commands.
#include <string>
#include <vector>

#include "db/importer.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  return zv::RunImporterProgram(args);
}
