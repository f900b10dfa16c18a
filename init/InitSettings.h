#pragma once
// The meeting point of the main window and the initialization run.
//
// The run reads every setting and key from the main window at the moment it needs it (nothing is
// copied when the run starts) through IInitSettings (engine/InitSettingsSource.h); the main window
// starts the run with the selected reader's name.

#include "engine/InitSettingsSource.h"

#include <string>

class IInitRunner {
public:
    virtual ~IInitRunner() = default;
    // Opens the run for the reader and returns when its dialog has closed; false when the reader
    // is held by another run or PIN reset (the user has been told, nothing was done).
    virtual bool RunInitialization(const std::string& readerName) = 0;
};
