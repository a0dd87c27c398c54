#pragma once

#include "remote/RemoteEntry.h"

#include <string>
#include <vector>

namespace vorn {

// Listings may give one name in two Unicode forms (composed NFC, and decomposed NFD as macOS
// writes it): on most local file systems they would become two files, in an archive two
// entries. Files only: two folders are two folders on the server, with contents of their own,
// and both are entered. For each entry this gives "" when it is copied, or the name copied in its place:
// of the entries whose NFC forms are equal, the one already in NFC is kept (else the first).
[[nodiscard]] std::vector<std::string> SecondForms(const std::vector<remote::Entry>& entries);

} // namespace vorn
