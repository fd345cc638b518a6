// Calling-context checks shared by the host's blocking routines.
#pragma once

namespace kald::host::detail {

// True when the calling thread may wait. Otherwise records a wait violation
// and returns false; the caller then fails without waiting.
bool MayWait();

} // namespace kald::host::detail
