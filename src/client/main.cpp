// The print client's entry: the modules start in the system's order, the dialogue runs, and
// every way out ends through the modules' shutdown.
#include <string>
#include <vector>

#include "LumarixModuleOrder.h"
#include "client/print_client.h"
#include "platform/winapi.h"

namespace {

// Windows hands the program its command line whole; the client splits it by its own rule so
// that a quoted path keeps its spaces and nothing else is interpreted.
std::vector<std::string> Arguments(int argc, char** argv) {
#if defined(_WIN32)
  (void)argc;
  (void)argv;
  std::string first = lumarix::FirstArgument(GetCommandLineA());
  return first.empty() ? std::vector<std::string>{} : std::vector<std::string>{first};
#else
  return argc > 1 ? std::vector<std::string>{argv[1]} : std::vector<std::string>{};
#endif
}

}  // namespace

int main(int argc, char** argv) {
  using namespace lumarix;
  std::vector<std::string> arguments = Arguments(argc, argv);
  RunProgram(kClientModules, [&] { return PrintClientMain(arguments); });
}
