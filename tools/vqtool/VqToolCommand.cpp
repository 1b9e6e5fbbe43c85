#include "VqToolCommand.h"

#include "VqErrorState.h"
#include "VqStdError.h"

#include <iostream>

int cmdTypes(const std::vector<std::string>& args);
int cmdDemo(const std::vector<std::string>& args);

const std::vector<VqToolCommand>& vqToolCommands() {
    static const std::vector<VqToolCommand> commands = {
        {"types", "list the registered object types with their GUIDs",
         "Usage: vqtool types\n\nLists every object type the library registers, with its type GUID,\n"
         "in registration order.\n",
         &cmdTypes},
        {"demo", "run the built-in demonstration",
         "Usage: vqtool demo\n\nInitialises the library, shows what it registers and shuts it down.\n", &cmdDemo},
    };
    return commands;
}

int vqToolFail(const std::string& message) {
    std::cerr << "vqtool: " << message << "\n";
    return 1;
}

std::string vqToolLastError() {
    Vq::SharedPtr<VqStdError> e = VqErrorState::currentError();
    if (!e) return "unknown error";
    return e->description().toUtf8() + " (code " + std::to_string(e->code()) + ", in " + e->className().toUtf8() +
           "::" + e->methodName().toUtf8() + ")";
}
