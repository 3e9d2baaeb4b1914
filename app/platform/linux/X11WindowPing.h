#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include <QObject>

namespace harbelle {

// Asks a window whether its program still runs, with the window manager's _NET_WM_PING: the
// toolkit answers from its event loop, so a stopped or hung program never does, and a slow one
// does once its loop turns. A private connection reads the answers, which come back on the root
// window. Main thread only.
class X11WindowPing {
public:
    X11WindowPing();
    ~X11WindowPing();
    X11WindowPing(const X11WindowPing&) = delete;
    X11WindowPing& operator=(const X11WindowPing&) = delete;

    // `answered(true)` once the window answers, `answered(false)` when it has not within
    // `within`; a window that takes no ping (or no display) counts as answering at once.
    void ping(std::uint32_t window, std::chrono::milliseconds within, std::function<void(bool)> answered);

private:
    void readAnswers();
    void finish(std::uint32_t serial, bool answered);

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace harbelle
