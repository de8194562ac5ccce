// Worker threads that a test or a driver can wait for: a worker starter for
// SetWorkerStarter whose threads JoinWorkers() joins, including those that
// an ending worker starts for the next job.
#pragma once

namespace qmb::test {

bool StartJoinableWorker(int (*entry)());
void JoinWorkers();

}  // namespace qmb::test
