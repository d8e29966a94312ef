// romlift-cli release: the administrator's side of release lists. `sign` writes a folder's
// SHA256SUMS and its Ed25519 signature; `verify` checks them as a download on this station would.
#pragma once

#include <cstdio>

#include "options.h"

namespace romlift::cli {

// Runs `release sign` or `release verify` as `o` says: results on `out`, errors on `err` as one
// "romlift-cli: " line. 0 when written or when every listed image and the signature hold, 1 when
// any does not (or a file cannot be written), 2 for a usage error (no such folder, a key that is
// not an Ed25519 private key, a policy that does not read).
int RunRelease(const Options& o, std::FILE* out, std::FILE* err);

}  // namespace romlift::cli
