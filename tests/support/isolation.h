#pragma once

namespace tarn::test {

// Puts this test process into a private mount namespace with fresh tmpfs mounts on
// /run/gluster/shared_storage (the cluster configuration's fixed place) and /tmp (the
// archive tool's work directory), so that no test touches the machine's own files there.
// Must be called while the process has a single thread.
void isolate_process();

// True when isolate_process() succeeded; tests that write those places skip otherwise.
bool isolated();

}  // namespace tarn::test
