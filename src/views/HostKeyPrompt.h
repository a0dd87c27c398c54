#pragma once

#include "sessions/SessionFactory.h"

#include <QString>

// The window's answer to an SFTP host key no known-hosts file knows, or one that changed:
// installed once at start, it is asked on whichever thread connects (runs, panes, the
// editor's browser) and shows its box on the GUI thread. A thread that is not the GUI thread
// waits at most three minutes for the answer; a later answer stores nothing.

// The question for an unknown key and the warning for a changed one, as shown.
[[nodiscard]] QString HostKeyQuestionText(const vorn::sessions::HostKeyFacts& key);
[[nodiscard]] QString HostKeyChangedText(const vorn::sessions::HostKeyFacts& key);

// An unknown key: the type and the fingerprint, stored only on Yes. A changed key: a warning
// naming both fingerprints, with no button that replaces the stored key.
[[nodiscard]] bool AskAboutHostKey(const vorn::sessions::HostKeyFacts& key);

// Makes AskAboutHostKey the prompt of every later connection.
void InstallHostKeyPrompt();
