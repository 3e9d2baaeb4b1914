#pragma once

#include <dlfcn.h>

#include <string>

namespace harbelle::sync {

// For libraries opened on first use: sets `entry` to the symbol `name` of an opened library, or
// leaves it and records `name` in `missing`.
template <class Function>
bool resolveSymbol(void* handle, const char* name, Function& entry, std::string& missing) {
    void* symbol = ::dlsym(handle, name);
    if (!symbol) {
        missing = name;
        return false;
    }
    entry = reinterpret_cast<Function>(symbol);
    return true;
}

}  // namespace harbelle::sync
