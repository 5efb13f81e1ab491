#include <string>
#include <vector>

#include "app/modes.h"

int main(int argc, char** argv) {
  return tamber::runSelectedMode(std::vector<std::string>(argv, argv + argc));
}
