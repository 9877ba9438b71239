// Timer.exe for the tests: a companion program that only waits to be
// ended.
#include <unistd.h>

int main() {
  for (;;) pause();
}
