#include <string_view>
#include <vector>

#include "app/tool.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + 1, argv + argc);
  return qztap::runTool(arguments);
}
