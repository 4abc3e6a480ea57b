#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/headless.h"
#include "app/review_commands.h"
#include "app/window_run.h"
#include "config/config_file.h"

int main(int argc, char** argv) {
  std::vector<std::string> all(argv + 1, argv + argc);
  if (ombrix::IsReviewCommand(all)) {
    // "--config PATH" anywhere names the station's configuration (a service's, say) to review.
    for (size_t i = 1; i < all.size(); ++i) {
      if (all[i] != "--config") {
        continue;
      }
      if (i + 1 >= all.size()) {
        std::fputs("ombrix: --config needs a value\n", stderr);
        return 2;
      }
      ombrix::SetConfigurationPath(all[i + 1]);
      all.erase(all.begin() + static_cast<std::ptrdiff_t>(i),
                all.begin() + static_cast<std::ptrdiff_t>(i) + 2);
      break;
    }
    return ombrix::RunReviewCommand(all, std::cout, std::cerr);
  }
  std::string script;
  const std::vector<std::string> args = ombrix::TakeWindowOptions(all, script);
  std::string error;
  const auto options = ombrix::ParseHeadlessArguments(args, error);
  if (!options) {
    std::fprintf(stderr, "ombrix: %s\n\n%s", error.c_str(), ombrix::HeadlessUsage().c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(ombrix::HeadlessUsage().c_str(), stdout);
    std::fputs("\n", stdout);
    std::fputs(ombrix::ReviewUsage().c_str(), stdout);
    return 0;
  }
  if (options->version) {
    std::printf("ombrix %s\n", OMBRIX_VERSION);
    return 0;
  }
  if (options->headless || options->deviceProperties) {
    return ombrix::RunHeadless(*options);
  }
  return ombrix::RunWindow(argc, argv, *options, script);
}
