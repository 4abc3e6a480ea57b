#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/headless.h"
#include "app/review_commands.h"
#include "app/window_run.h"

int main(int argc, char** argv) {
  const std::vector<std::string> all(argv + 1, argv + argc);
  if (ombrix::IsReviewCommand(all)) {
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
