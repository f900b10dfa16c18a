#pragma once
// The system's reason for a failed file or stream operation, in Russian words an administrator
// reads after the program's own message.

#include <string>

// The reason for `error` (an errno value): "нет места на устройстве", "это папка", ...; an error
// without words of its own is named by the system's text and its number.
std::string SystemErrorText(int error);
