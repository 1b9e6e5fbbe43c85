#pragma once

#include <string>
#include <vector>

// One sub-command of vqtool: its name, a one-line summary, its help text and
// the function that runs it with the arguments after the name.
struct VqToolCommand {
    const char* name;
    const char* summary;
    const char* help;
    int (*run)(const std::vector<std::string>& args);
};

// Every sub-command, in the order --help lists them.
const std::vector<VqToolCommand>& vqToolCommands();

// Prints "vqtool: <message>" on standard error and returns the failure exit code.
int vqToolFail(const std::string& message);
