#pragma once

#include <ostream>
#include <string>

namespace ombrix {

// `ombrix outbox`: the waiting and dropped deliveries of the outbox in the base folder of
// archiveFolder, oldest first, with their attempts and last error, then the counts. `ombrix outbox
// retry` (retry set): every waiting delivery is due now; a running station takes them within a
// few seconds. Exit code 0, or 1 when there is no outbox or it cannot be read.
int RunOutbox(const std::string& archiveFolder, bool retry, std::ostream& out, std::ostream& err);

}  // namespace ombrix
