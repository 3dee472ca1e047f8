// Starting an external program (the notifier) without waiting for it.
#pragma once

#include <string>

// Starts program (looked up on PATH unless it holds a "/") with parameter as its one argument.
// Returns at once; the program runs detached: in a session of its own, its standard streams on
// /dev/null, no descriptor of ours open, no zombie left behind. A program that is
// missing or cannot be started is silently ignored.
void StartProgram(const std::string& program, const std::string& parameter);
