// harbelle-sync-service: the loopback reference sync service, for trying the app by hand.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sync/SyncReferenceService.h"

int main(int argc, char** argv) {
    int port = 0;
    std::string data;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            port = std::atoi(argv[++i]);
        } else if (arg == "--data" && i + 1 < argc) {
            data = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--port N] [--data FILE]\n", argv[0]);
            return 2;
        }
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // Blocked before any thread starts, so only sigwait sees them.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    try {
        harbelle::sync::SyncReferenceService service(data);
        service.start(port);
        std::printf("Listening on %s (HARBELLE_SYNC_BASE_URL=%s)\n", service.baseURL().c_str(), service.baseURL().c_str());
        std::fflush(stdout);
        int received = 0;
        sigwait(&signals, &received);
        service.stop();
        service.save();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "harbelle-sync-service: %s\n", error.what());
        return 1;
    }
    return 0;
}
