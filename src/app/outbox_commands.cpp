#include "app/outbox_commands.h"

#include <cstdio>
#include <filesystem>

#include "base/folders.h"
#include "base/utc_time.h"
#include "outbox/outbox_store.h"

namespace ombrix {

int RunOutbox(const std::string& archiveFolder, bool retry, std::ostream& out, std::ostream& err) {
  const std::string base = GetBaseFolder(archiveFolder);
  const std::string path = base + "/" + kOutboxFileName;
  std::error_code error;
  if (base.empty() || !std::filesystem::exists(path, error)) {
    err << "There is no outbox (" << path
        << "): nothing has been queued for delivery; set uploadTarget to deliver events.\n";
    return 1;
  }
  try {
    OutboxStore store(path, false);
    if (retry) {
      const size_t due = store.MakeAllDue(std::chrono::time_point_cast<std::chrono::milliseconds>(
          std::chrono::system_clock::now()));
      out << due << " waiting delivery(ies) are due now; a running station takes them within a "
          << "few seconds.\n";
      return 0;
    }
    const std::vector<OutboxJob> jobs = store.ListUndelivered();
    const OutboxSummary summary = store.Summarise();
    std::string text;
    if (!jobs.empty()) {
      text += "    ID  KIND   KEY                  QUEUED (UTC)      TRIES  STATE    LAST ERROR\n";
    }
    char line[128];
    for (const OutboxJob& job : jobs) {
      std::snprintf(line, sizeof line, "%6lld  %-5s  %-19s  %s  %5lld  %-7s  ",
                    static_cast<long long>(job.id), JobKindName(job.kind), job.key.c_str(),
                    MinuteText(job.queued).c_str(), static_cast<long long>(job.attempts),
                    JobStateName(job.state));
      text += line;
      text += job.lastError;
      text += '\n';
    }
    out << text << summary.waiting << " waiting, " << summary.dropped << " dropped, "
        << summary.done << " delivered";
    if (summary.lastSuccess) {
      out << "; the last delivery at " << MinuteText(*summary.lastSuccess) << " UTC";
    }
    out << ".\n";
    return 0;
  } catch (const OutboxError& failure) {
    err << "The outbox " << path << " cannot be read: " << failure.what() << '\n';
    return 1;
  }
}

}  // namespace ombrix
