// zvtar.exe: unpacks a received attachment package into a folder.
//   zvtar.exe xvf "package" -C "target" [-e a]
#include "datafiles/tar_extractor.h"

int main(int argc, char** argv) { return zv::RunTarTool(argc, argv); }
