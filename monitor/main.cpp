#include <iostream>

#include "run_mode.h"

int main() {
  std::cout << kProgramName << ", version " << kProgramVersion << std::endl;
  return 0;
}
