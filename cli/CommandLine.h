#pragma once
// orvane-cli's arguments: the commands, their options and --help texts, the refusal of secrets
// given as argument values, and the dispatch to each command.

#include "Console.h"

#include <string>
#include <vector>

// Runs the command line `arguments` (without the program name); answers the exit code.
int RunCommandLine(const std::vector<std::string>& arguments, Console& console);

// "orvane-cli 1.0.3.0": what --version prints.
std::string VersionText();
