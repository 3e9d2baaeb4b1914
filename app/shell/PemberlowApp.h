#pragma once

namespace harbelle {

// The process entry: the Qt application, the desktop's platform layers and the one
// application delegate, run until the program quits. Returns the exit status.
class PemberlowApp {
public:
    static int run(int argc, char** argv);

    PemberlowApp() = delete;
};

}  // namespace harbelle
