#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "history/HistoryStore.h"
#include "shell/ShelfPanel.h"
#include "shell/ShelfPanelController.h"
#include "support/FakeAccessibility.h"
#include "support/FakeWorkspace.h"
#include "support/InMemoryDefaults.h"
#include "support/ManualClock.h"

namespace harbelle::testing {

// A shelf panel controller over a store, the manual clock, a scripted workspace and
// accessibility, and a fixed 1440 × 875 visible frame.
class ShelfPanelFixture : public ::testing::Test {
protected:
    static constexpr ProcessID kOwnPID = 4242;
    static constexpr ProcessID kEditorPID = 501;
    static constexpr ProcessID kBrowserPID = 502;

    QTemporaryDir temp;
    InMemoryDefaults defaults;
    ManualClock clock;
    FakeWorkspace workspace;
    FakeAccessibility accessibility{clock};
    QRectF visibleFrame{0, 25, 1440, 875};
    std::vector<std::string> diagnostics;
    std::unique_ptr<HistoryStore> store;
    std::unique_ptr<ShelfPanelController> controller;

    RunningApplication app(ProcessID pid, std::string identifier,
                           ActivationPolicy policy = ActivationPolicy::regular) const {
        RunningApplication application;
        application.processIdentifier = pid;
        application.bundleIdentifier = identifier;
        application.localizedName = identifier;
        application.activationPolicy = policy;
        return application;
    }
    RunningApplication ownApp() const { return app(kOwnPID, "com.harbelleapp.Harbelle"); }

    void makeStore(bool demo = true) {
        HistoryStoreOptions options;
        options.demoMode = demo;
        options.applicationSupport = std::filesystem::path(temp.path().toStdString()) / "Pemberlow";
        options.bundleIdentifier = "com.harbelleapp.Harbelle";
        store = std::make_unique<HistoryStore>(defaults, clock, options);
    }

    void makeController(ShelfPanelControllerOptions options = {}) {
        if (!store) makeStore();
        options.ownProcessID = kOwnPID;
        if (!options.launchArguments) options.launchArguments = QStringList{QStringLiteral("harbelle")};
        options.diagnostics = [this](const std::string& line) { diagnostics.push_back(line); };
        options.visibleFrameOverride = [this] { return std::optional<QRectF>(visibleFrame); };
        controller = std::make_unique<ShelfPanelController>(*store, workspace, accessibility, clock, std::move(options));
    }

    void SetUp() override {
        workspace.running = {app(kEditorPID, "gedit"), app(kBrowserPID, "firefox")};
        accessibility.addApplication(kEditorPID);
        accessibility.addApplication(kBrowserPID);
    }

    void TearDown() override {
        controller.reset();
        store.reset();
    }

    ShelfPanel* panel() const { return controller->panel(); }
    MainShelfView* view() const { return controller->mainView(); }
};

}  // namespace harbelle::testing
