#include "shell/PemberlowApp.h"

int main(int argc, char** argv) { return harbelle::PemberlowApp::run(argc, argv); }
