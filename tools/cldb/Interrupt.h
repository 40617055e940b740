// SIGINT and SIGTERM ask a running job to stop: the handler only raises a
// flag, which the job thread reads between batches, so the job can finish
// the batch at hand and close the CLDB cleanly. A second signal of the same
// kind takes its default action and ends the process at once.
#pragma once

namespace interrupt {

void Install();
bool Requested();

}  // namespace interrupt
