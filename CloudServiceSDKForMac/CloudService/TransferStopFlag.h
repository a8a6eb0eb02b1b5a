#pragma once

#include <atomic>

namespace norvane {

// Raised to make every request that is waiting for its response give up. The file window raises
// it when the user stops a transfer and the batch worker when it is stopped; the first request
// that notices it clears it again (see RestStorageServiceAdaptor::runRequest), as does every start
// of the batch worker and the creation of a command service. Read between wait slices, never
// under a lock.
inline std::atomic<bool> transferStopFlag { false };

} // namespace norvane
