#include "platform/Workspace.h"

namespace harbelle {

bool isThisProgram(const std::optional<RunningApplication>& application, ProcessID ownProcessID) {
    return application && application->processIdentifier && *application->processIdentifier == ownProcessID;
}

}  // namespace harbelle
