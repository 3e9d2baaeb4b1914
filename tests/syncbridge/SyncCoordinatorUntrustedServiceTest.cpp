// What the bridge does with what the service sends: identifiers are UUIDs or nothing, a
// "duplicate" naming other content merges nothing, and received images are checked on a
// worker while the main thread goes on, in the engine's order.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <QImageWriter>

#include <atomic>
#include <thread>

#include "syncbridge/SyncBridgeTestSupport.h"
#include "syncbridge/SyncImageCompressor.h"

using namespace harbelle;
using namespace harbelle::testing;
using namespace std::chrono_literals;

namespace {

std::string lower(const Uuid& id) { return id.lowercaseString(); }

std::string png(int width, int height, QImage::Format format = QImage::Format_RGB32) {
    QImage image(width, height, format);
    image.fill(Qt::blue);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, "png").write(image);
    return bytes.toStdString();
}

sync::SyncBlobPayload blobOf(const std::string& data, std::int64_t width, std::int64_t height) {
    const Bytes bytes(data.begin(), data.end());
    return {"", SyncImageCompressor::sha256Hex(bytes), "image/png", width, height, data};
}

class SyncUntrustedService : public SyncBridgeFixture {
protected:
    sync::SyncMainThreadPoster poster;

    void SetUp() override {
        SyncBridgeFixture::SetUp();
        auto made = options();
        made.makeEngine = [this](sync::SyncMainThreadPoster given) {
            poster = given;
            auto engineMade = std::make_unique<ScriptedSyncEngine>(std::move(given));
            engine = engineMade.get();
            return engineMade;
        };
        sync = std::make_unique<SyncCoordinator>(store.get(), false, defaults, std::move(made));
        pump();
        signInScripted();
    }

    void insertImage(const Uuid& id, const sync::SyncBlobPayload& blob, Date when) {
        engine->callbacks.applyMergeAction(sync::SyncMergeInsertNew{lower(id), "", when, {}, blob});
    }
    bool settled() { return pumpUntil([&] { return sync->receivedWaiting() == 0; }); }
};

}  // namespace

TEST_F(SyncUntrustedService, IdentifiersThatAreNotLowerCaseUUIDsAreRefusedWhole) {
    const Uuid local = addText("mine");
    const auto before = sync->bookkeeping().state(kEmail);
    const std::string upper = Uuid::random().uppercaseString();
    for (const std::string& bad : {std::string("../../not-a-uuid"), upper, std::string()}) {
        engine->callbacks.applyMergeAction(sync::SyncMergeInsertNew{bad, "planted", clock.now(), {}, {}});
        engine->callbacks.applyMergeAction(sync::SyncMergeDeleteExisting{bad});
        engine->callbacks.canonicalizeLocalClip(lower(local), bad);
        engine->callbacks.localChangesAcknowledged({bad}, {bad});
    }
    EXPECT_EQ(sync->bookkeeping().state(kEmail), before) << "no entry under a foreign name, none moved";
    ASSERT_TRUE(store->item(local));
    EXPECT_EQ(store->item(local)->text, "mine");
    for (const auto& clip : store->items()) EXPECT_NE(clip.text, "planted");
    EXPECT_EQ(sync->refusalsThisRound().invalidIdentifiers, 9);

    // The round's report clears the count.
    engine->publishSignedIn(kEmail);
    pump();
    EXPECT_EQ(sync->refusalsThisRound().total(), 0);
}

TEST_F(SyncUntrustedService, AForgedDuplicateKeepsBothClipsAndTheLocalOneWaitsToBePushed) {
    const Uuid other = addText("the other clip");
    const Uuid pushed = addText("what was pushed");
    const auto before = sync->bookkeeping().state(kEmail);
    ASSERT_TRUE(before.pendingPushIDs.count(lower(pushed)));

    engine->callbacks.canonicalizeLocalClip(lower(pushed), lower(other));
    engine->callbacks.localChangesAcknowledged({lower(other)}, {});
    ASSERT_TRUE(store->item(other));
    ASSERT_TRUE(store->item(pushed));
    EXPECT_EQ(store->item(other)->text, "the other clip");
    EXPECT_EQ(store->item(pushed)->text, "what was pushed");
    const auto after = sync->bookkeeping().state(kEmail);
    EXPECT_TRUE(after.pendingPushIDs.count(lower(pushed))) << "sent again later: delayed, never lost";
    EXPECT_EQ(after.pendingPushIDs.count(lower(other)), before.pendingPushIDs.count(lower(other)));
    EXPECT_EQ(sync->refusalsThisRound().forgedDuplicates, 1);

    // A genuine duplicate, naming a clip not held here, re-keys as it always did.
    const Uuid canonical = Uuid::random();
    engine->callbacks.canonicalizeLocalClip(lower(pushed), lower(canonical));
    EXPECT_FALSE(store->item(pushed));
    ASSERT_TRUE(store->item(canonical));
    EXPECT_EQ(store->item(canonical)->text, "what was pushed");
    EXPECT_TRUE(sync->bookkeeping().state(kEmail).pendingPushIDs.count(lower(canonical)));
}

TEST_F(SyncUntrustedService, ReceivedImagesAreCheckedOffTheMainThreadInTheEnginesOrder) {
    const std::string picture = png(2000, 2000);
    const Uuid first = Uuid::random();
    const Uuid deletedNext = Uuid::random();
    const Uuid text = Uuid::random();
    const Date when = clock.now() - 1h;

    insertImage(first, blobOf(picture, 2000, 2000), when);
    EXPECT_FALSE(store->item(first)) << "the call returns before the image is decoded";
    // Steps the engine gave after the image wait behind it, whatever finishes first.
    engine->callbacks.applyMergeAction(sync::SyncMergeInsertNew{lower(text), "after the image", when, {}, {}});
    insertImage(deletedNext, blobOf(png(1200, 900), 1200, 900), when);
    sync->bookkeeping().markReported(lower(deletedNext), kEmail);
    engine->callbacks.applyMergeAction(sync::SyncMergeDeleteExisting{lower(deletedNext)});
    EXPECT_FALSE(store->item(text));
    EXPECT_EQ(sync->receivedWaiting(), 4u);

    ASSERT_TRUE(settled());
    ASSERT_TRUE(store->item(first));
    EXPECT_EQ(store->item(first)->kind, ClipKind::image);
    EXPECT_EQ(store->readPayloadFile(first.uppercaseString() + ".png")->size(), picture.size());
    ASSERT_TRUE(store->item(text));
    EXPECT_FALSE(store->item(deletedNext)) << "deleted after it arrived, not resurrected by a late check";
    const auto state = sync->bookkeeping().state(kEmail);
    EXPECT_TRUE(state.reportedIDs.count(lower(first)));
    EXPECT_TRUE(state.reportedIDs.count(lower(text)));
}

TEST_F(SyncUntrustedService, APixelBombIsRefusedAndTheRestStillApplies) {
    // Tiny on the wire, 80 megapixels decoded.
    const std::string bomb = png(10000, 8000, QImage::Format_Mono);
    const Uuid refused = Uuid::random();
    const Uuid fine = Uuid::random();
    insertImage(refused, blobOf(bomb, 10000, 8000), clock.now());
    insertImage(fine, blobOf(png(64, 64), 64, 64), clock.now());
    ASSERT_TRUE(settled());
    EXPECT_FALSE(store->item(refused));
    EXPECT_FALSE(fs::exists(payloads() / (refused.uppercaseString() + ".png")));
    EXPECT_TRUE(store->item(fine));
    EXPECT_TRUE(sync->bookkeeping().state(kEmail).reportedIDs.count(lower(refused))) << "never sent back";
    EXPECT_EQ(sync->refusalsThisRound().badImages, 1);
}

TEST_F(SyncUntrustedService, TheEnginesNextStepComesAfterAResultStillBeingChecked) {
    const Uuid id = Uuid::random();
    insertImage(id, blobOf(png(3000, 3000), 3000, 3000), clock.now());
    // The engine's thread posts its next step while the image is still being decoded.
    std::optional<bool> heldWhenStepRan;
    std::thread engineThread([&] { poster([&] { heldWhenStepRan = store->item(id) != nullptr; }); });
    engineThread.join();
    ASSERT_TRUE(pumpUntil([&] { return heldWhenStepRan.has_value(); }));
    EXPECT_TRUE(*heldWhenStepRan);
}

TEST_F(SyncUntrustedService, AnImageStillBeingCheckedAtQuitIsKept) {
    const Uuid id = Uuid::random();
    insertImage(id, blobOf(png(2500, 2500), 2500, 2500), clock.now());
    sync->shutdown();
    ASSERT_TRUE(store->item(id));
    EXPECT_TRUE(sync->bookkeeping().state(kEmail).reportedIDs.count(lower(id)));
}

TEST(SyncImageCheckGate, ClosingWakesAThreadWaitingForARunningCheck) {
    SyncCoordinator::ImageCheckGate gate;
    gate.running = 1;  // a check that outlasts the quit
    std::atomic<bool> woke = false;
    std::thread engineThread([&] {
        gate.waitUntilIdle();
        woke = true;
    });
    const auto waitFor = [](const std::function<bool()>& done) {
        for (auto deadline = std::chrono::steady_clock::now() + 10s; !done();)
            if (std::chrono::steady_clock::now() > deadline) return false;
        return true;
    };
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(gate.mutex);
        return gate.waiting == 1;
    }));
    gate.close();
    const bool wokeAtClose = waitFor([&] { return woke.load(); });
    {
        std::lock_guard lock(gate.mutex);
        gate.running = 0;
        gate.idle.notify_all();
    }
    engineThread.join();
    EXPECT_TRUE(wokeAtClose);
}
