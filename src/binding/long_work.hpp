// Lets the engine's long stretches run without the interpreter lock.
#pragma once

namespace quarn::binding {

// Installs the process-wide pair that LongWork guards call to give up and
// take back the interpreter lock. Called from the module's execution slot,
// with the lock held; does nothing on a free-threaded interpreter, which has
// no lock to give up. Returns -1 with a Python exception set on failure.
int install_lock_release();

}  // namespace quarn::binding
