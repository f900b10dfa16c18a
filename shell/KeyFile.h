#pragma once
// Unblock key files for the window: the engine's key file rules (engine/KeyFile.h) on the paths
// the file dialogs give.

#include "engine/KeyFile.h"

#include <QString>

// ReadKeyFile and WriteKeyFile of engine/KeyFile.h for a path as the file dialogs give it.
KeyFileRead ReadKeyFile(const QString& path, UnblockKeyBytes& key, unsigned* permissions = nullptr);
bool WriteKeyFile(const QString& path, const UnblockKeyBytes& key);
