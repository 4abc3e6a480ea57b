#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/headless.h"
#include "app/review_commands.h"
#include "app/status_output.h"
#include "app/window_run.h"
#include "config/config_file.h"
#include "station/station.h"

int main(int argc, char** argv) {
  ombrix::QuietMediaLibrary();
  std::string error;
  const auto command =
      ombrix::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), error);
  if (command && command->mode != ombrix::Mode::kReview) {
    if (const auto problem = ombrix::ReplayStartProblem(command->source)) {
      error = "--start: " + *problem;
    }
  }
  if (!command || !error.empty()) {
    std::fprintf(stderr, "ombrix: %s\n\n%s", error.c_str(), ombrix::Usage().c_str());
    return 2;
  }
  if (!command->configPath.empty()) {
    ombrix::SetConfigurationPath(command->configPath);
  }
  switch (command->mode) {
    case ombrix::Mode::kHelp:
      std::fputs(ombrix::Usage().c_str(), stdout);
      return 0;
    case ombrix::Mode::kVersion:
      std::printf("ombrix %s\n", OMBRIX_VERSION);
      return 0;
    case ombrix::Mode::kReview:
      return ombrix::RunReviewCommand(*command, std::cout, std::cerr);
    case ombrix::Mode::kDeviceProperties: {
      ombrix::Notices notices;
      notices.SetSink(ombrix::StandardErrorNoticeSink());
      return ombrix::PrintDeviceProperties(std::cout, notices) ? 0 : 1;
    }
    case ombrix::Mode::kHeadless:
      return ombrix::RunHeadless(*command);
    case ombrix::Mode::kWindow:
      break;
  }
  return ombrix::RunWindow(argc, argv, *command);
}
