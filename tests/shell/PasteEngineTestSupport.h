#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "shell/PasteEngine.h"
#include "support/FakeAccessibility.h"
#include "support/FakeKeyEventPoster.h"
#include "support/FakePasteEngineHost.h"
#include "support/FakeWorkspace.h"
#include "support/ManualClock.h"
#include "support/ClipBuilder.h"

namespace harbelle::testing {

// An editor (pid 200) with one focused text field behind the shelf (pid 100).
struct PasteEngineFixture : ::testing::Test {
    static constexpr ProcessID kEditor = 200;
    using Kind = FakeKeyEventPoster::Event::Kind;

    ManualClock clock;
    FakeWorkspace workspace;
    FakeAccessibility ax{clock};
    FakeKeyEventPoster keys;
    FakePasteEngineHost host;
    std::unique_ptr<PasteEngine> engine;
    RunningApplication shelfApp{"Harbelle", "harbelle", 100};
    RunningApplication editor{"Editor", "editor", kEditor};
    RunningApplication browser{"Browser", "browser", 300};
    AXElement field;
    AXElement window;
    // While set, activations leave the shelf in front (a slow window manager).
    bool activationsHeldBack = false;

    PasteEngineFixture() {
        workspace.running = {shelfApp, editor, browser};
        workspace.frontmost = shelfApp;
        workspace.addActivationObserver([this](const std::optional<RunningApplication>&) {
            if (activationsHeldBack) workspace.frontmost = shelfApp;
        });
        ElementInfo info;
        info.role = "text";
        info.value = "hello world";
        info.characterCount = 11;
        info.caretOffset = 11;
        info.editable = true;
        info.focused = true;
        field = ax.addElement(kEditor, info);
        window = ax.addElement(kEditor, ElementInfo{.role = "frame"});
        ax.setFocusedElement(kEditor, field);
        ax.setFocusedWindow(kEditor, window);
        host.target = PasteTarget{editor, field, window, nullptr, std::nullopt};
        engine = std::make_unique<PasteEngine>(host, workspace, ax, keys, clock);
    }

    static ClipItem clip(const std::string& text, ClipKind kind = ClipKind::text) { return ClipBuilder(text, kind); }
    void advanceMs(int ms) { clock.advance(Milliseconds(ms)); }
    std::string fieldValue() const { return ax.info(field).value.value_or(""); }
    int keyEvents(Kind kind) const {
        int n = 0;
        for (const auto& e : keys.events()) n += e.kind == kind;
        return n;
    }
    // The one error ending: its toast, one beep, and the shelf back only when said.
    void expectOnlyError(const std::string& message, bool shelfReopened) const {
        ASSERT_EQ(host.toasts.size(), 1u) << message;
        EXPECT_EQ(host.toasts[0].message, message);
        EXPECT_EQ(host.toasts[0].tone, ToastTone::error);
        EXPECT_EQ(host.beeps, 1);
        EXPECT_EQ(host.countEvent("showShelf"), shelfReopened ? 1 : 0);
        EXPECT_FALSE(host.transactionActive);
        EXPECT_FALSE(engine->activePasteOperationGeneration());
    }
    void expectSilent() const {
        EXPECT_TRUE(host.toasts.empty());
        EXPECT_EQ(host.beeps, 0);
        EXPECT_EQ(host.countEvent("showShelf"), 0);
    }
};

}  // namespace harbelle::testing
