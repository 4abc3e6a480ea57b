#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/headless.h"
#include "app/review_commands.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (ombrix::IsReviewCommand(args)) {
    return ombrix::RunReviewCommand(args, std::cout, std::cerr);
  }
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
  return ombrix::RunHeadless(*options);
}
