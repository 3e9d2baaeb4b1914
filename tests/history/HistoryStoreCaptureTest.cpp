// Capture through the store: the poll, pausing, own writes, image payloads, recognition and
// the sync notifications, on the clipboard, workspace and recognizer twins.
#include <sys/stat.h>

#include <QBuffer>
#include <QImage>
#include <QPainter>
#include <QTest>

#include "history/HistoryStoreTestSupport.h"
#include "history/PasteboardCaptureReader.h"
#include "support/FakePasteboard.h"
#include "support/FakeTextRecognizer.h"
#include "support/FakeWorkspace.h"

namespace harbelle::testing {
namespace {

constexpr ProcessID kOwnPid = 4242;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes pngOf(QColor color, int size = 8) {
    QImage image(size, size, QImage::Format_RGB32);
    image.fill(color);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return Bytes(png.begin(), png.end());
}

class CaptureStoreFixture : public HistoryStoreFixture {
protected:
    FakePasteboard pasteboard;
    FakeWorkspace workspace;
    FakeTextRecognizer recognizer;
    std::unique_ptr<HistoryStore> store;
    std::vector<Uuid> derivativeRequests;

    void SetUp() override {
        workspace.frontmost = RunningApplication{"Editor", "org.example.editor", 100};
    }

    HistoryStore& start(HistoryStoreOptions options = {}) {
        options.pasteboard = &pasteboard;
        options.workspace = &workspace;
        options.textRecognizer = &recognizer;
        options.ownProcessID = kOwnPid;
        store = makeStore(std::move(options));
        store->onEncodeSyncDerivative = [this](const Bytes&, const Uuid& id) { derivativeRequests.push_back(id); };
        store->startMonitoring();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !store->capturesPending(); }, 10000));
        return *store;
    }

    void copyText(std::string_view text) { pasteboard.setContents({{"UTF8_STRING", bytesOf(text)}}); }
    void copyImage(const Bytes& png) { pasteboard.setContents({{"image/png", png}}); }
    // The poll, and an image's clip once its file is written.
    void tick() {
        clock.advance(HistoryStore::kPollInterval);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !store->capturesPending(); }, 10000));
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> result;
        for (const auto& clip : store->items()) result.push_back(clip.kind == ClipKind::image ? "<image>" : clip.text);
        return result;
    }
    std::size_t payloadFileCount() const {
        std::size_t n = 0;
        for (const auto& entry : fs::directory_iterator(payloads())) n += entry.is_regular_file() ? 1 : 0;
        return n;
    }
};

// ---- The poll -----------------------------------------------------------------------------------

TEST_F(CaptureStoreFixture, StartCapturesTheCurrentCopyThenEachNewOneOnTheNextTick) {
    copyText("already there");
    auto& s = start();
    EXPECT_EQ(texts(), (std::vector<std::string>{"already there"}));
    EXPECT_TRUE(s.isMonitoring());

    copyText("second");
    clock.advance(Milliseconds(399));
    EXPECT_EQ(s.items().size(), 1u) << "the poll runs every 0.4 s";
    clock.advance(Milliseconds(1));
    EXPECT_EQ(texts(), (std::vector<std::string>{"second", "already there"}));
    EXPECT_EQ(s.items().front().sourceAppName, "Editor");
    EXPECT_EQ(s.items().front().sourceBundleID, "org.example.editor");

    // No change, no capture; a second start does not add a second poll.
    s.startMonitoring();
    tick();
    tick();
    EXPECT_EQ(s.items().size(), 2u);
    EXPECT_EQ(clock.pendingCount(), 1u) << "one poll only";

    s.shutdown();
    EXPECT_FALSE(s.isMonitoring());
    copyText("after shutdown");
    tick();
    EXPECT_EQ(s.items().size(), 2u);
}

TEST_F(CaptureStoreFixture, DemoModeNeverCaptures) {
    copyText("not in demo");
    HistoryStoreOptions options;
    options.demoMode = true;
    auto& s = start(options);
    const auto before = s.items().size();
    EXPECT_FALSE(s.isMonitoring());
    copyText("still not");
    tick();
    EXPECT_EQ(s.items().size(), before);
}

TEST_F(CaptureStoreFixture, SkippedCopiesAreNeverCapturedLater) {
    auto& s = start();
    // Our own window in front: skipped, and not taken once another application is in front.
    workspace.frontmost = RunningApplication{"Harbelle", "harbelle", kOwnPid};
    copyText("copied in our shelf");
    tick();
    workspace.frontmost = RunningApplication{"Editor", "org.example.editor", 100};
    tick();
    tick();
    EXPECT_TRUE(s.items().empty());

    // A copy made just before the shelf comes forward (or a quit) is read while its application
    // is in front, even before its notice came.
    copyText("copied right before the hot key");
    pasteboard.unannounced = 1;  // its notice still on the way
    s.readCopyNotYetPolled();
    workspace.frontmost = RunningApplication{"Harbelle", "harbelle", kOwnPid};
    tick();
    EXPECT_EQ(texts(), (std::vector<std::string>{"copied right before the hot key"}));
    s.deleteItem(s.items().front());

    // An application whose process is unknown is not this program, even without an
    // identifier of its own.
    workspace.frontmost = RunningApplication{std::nullopt, std::nullopt, std::nullopt};
    copyText("from an unknown window");
    tick();
    EXPECT_EQ(texts(), (std::vector<std::string>{"from an unknown window"}));
    EXPECT_EQ(s.items().front().sourceAppName, "Unknown");

    // A concealed copy is skipped whatever the settings.
    s.updateSkipSensitiveContent(false);
    pasteboard.setContents({{"UTF8_STRING", bytesOf("hunter2")}, {"x-kde-passwordManagerHint", bytesOf("secret")}});
    tick();
    pasteboard.setContents({{"UTF8_STRING", bytesOf("hunter3")}, {"org.nspasteboard.ConcealedType", {}}});
    tick();
    EXPECT_EQ(s.items().size(), 1u);
}

TEST_F(CaptureStoreFixture, TheStoreSettingsDecideWhatIsRead) {
    auto& s = start();
    // Password-manager words in the frontmost application's identifier, any case.
    workspace.frontmost = RunningApplication{"Vault", "org.example.PassWordSafe", 200};
    copyText("secret");
    tick();
    EXPECT_TRUE(s.items().empty());
    s.updateSkipSensitiveContent(false);
    copyText("secret now kept");
    tick();
    EXPECT_EQ(texts(), (std::vector<std::string>{"secret now kept"}));

    // Images off: an image with text gives the text; an image alone gives nothing.
    s.updateCaptureImages(false);
    pasteboard.setContents({{"image/png", pngOf(Qt::red)}, {"UTF8_STRING", bytesOf("caption")}});
    tick();
    copyImage(pngOf(Qt::blue));
    tick();
    EXPECT_EQ(texts(), (std::vector<std::string>{"caption", "secret now kept"}));
    EXPECT_EQ(payloadFileCount(), 0u);
}

TEST_F(CaptureStoreFixture, PausedCopiesAreConsumedAndNeverCaptured) {
    auto& s = start();
    s.setPaused(true);
    EXPECT_EQ(s.toastMessage(), "Clipboard capture paused");
    EXPECT_EQ(defaults.boolValue("capturePaused"), true);
    copyText("while paused, seen by a tick");
    tick();
    copyText("while paused, not yet seen");
    s.setPaused(false);
    EXPECT_EQ(s.toastMessage(), "Clipboard capture resumed");
    EXPECT_EQ(s.toastTone(), ToastTone::success);
    EXPECT_EQ(defaults.boolValue("capturePaused"), false);
    tick();
    tick();
    EXPECT_TRUE(s.items().empty());
    EXPECT_TRUE(s.isMonitoring()) << "pausing keeps the poll running";

    copyText("after resuming");
    tick();
    EXPECT_EQ(texts(), (std::vector<std::string>{"after resuming"}));
}

TEST_F(CaptureStoreFixture, StartingPausedCapturesNothingAtOnce) {
    defaults.setBool("capturePaused", true);
    copyText("on the clipboard at launch");
    auto& s = start();
    EXPECT_TRUE(s.isPaused());
    EXPECT_TRUE(s.items().empty());
}

TEST_F(CaptureStoreFixture, TextLimitToastIsVerbatimAndCapturesNothing) {
    auto& s = start();
    copyText("\n" + std::string(PasteboardCaptureReader::kTextLimit + 1, 'a') + "\n");
    tick();
    EXPECT_TRUE(s.items().empty());
    EXPECT_EQ(s.toastMessage(), "Skipped a clipboard item larger than 10 MB");
    EXPECT_EQ(s.toastTone(), ToastTone::success);

    // Exactly at the limit (after trimming) is captured; oversized HTML is dropped silently.
    pasteboard.setContents({{"UTF8_STRING", bytesOf("\n" + std::string(PasteboardCaptureReader::kTextLimit, 'b'))},
                            {"text/html", Bytes(PasteboardCaptureReader::kRichTextLimit + 1, 'h')},
                            {"text/rtf", Bytes(PasteboardCaptureReader::kRichTextLimit, 'r')}});
    tick();
    ASSERT_EQ(s.items().size(), 1u);
    EXPECT_EQ(s.items().front().text.size(), PasteboardCaptureReader::kTextLimit);
    EXPECT_FALSE(s.items().front().htmlData);
    EXPECT_EQ(s.items().front().richTextData->size(), PasteboardCaptureReader::kRichTextLimit);
}

TEST_F(CaptureStoreFixture, FilesTextAndDuplicatesGoThroughInsert) {
    auto& s = start();
    const std::string a = (fs::path(temp.path().toStdString()) / "a.txt").string();
    std::ofstream(a) << "a";
    pasteboard.setContents({{"text/uri-list", bytesOf(fileURLString(a) + "\r\n")}});
    tick();
    ASSERT_EQ(s.items().size(), 1u);
    EXPECT_EQ(s.items().front().kind, ClipKind::file);
    EXPECT_EQ(s.items().front().title, "a.txt");

    copyText("same words");
    tick();
    const Uuid first = s.items().front().id;
    copyText("something else");
    tick();
    copyText("same words");
    tick();
    EXPECT_EQ(texts(), (std::vector<std::string>{"same words", "something else", a}));
    EXPECT_EQ(s.items().front().id, first) << "known content moves up instead of repeating";
    EXPECT_EQ(s.selectedID(), first);
}

// ---- Own writes ---------------------------------------------------------------------------------

TEST_F(CaptureStoreFixture, OwnWritesAreNeverCapturedAgain) {
    copyText("from outside");
    auto& s = start();
    ClipItem link = makeClip("https://example.com/a", ClipKind::link);
    const std::string html = "<a href=\"https://example.com/a\">a</a>";
    link.htmlData = bytesOf(html);
    ASSERT_TRUE(s.writeToPasteboard(link, false));
    ASSERT_EQ(pasteboard.writes.size(), 1u);
    EXPECT_EQ(pasteboard.writes.back().front().string(pasteboardtype::html), html);
    EXPECT_EQ(s.lastSeenChangeCount(), pasteboard.changeCount());
    tick();
    tick();
    EXPECT_EQ(texts(), (std::vector<std::string>{"from outside"}));

    // Plain text carries only the text.
    ASSERT_TRUE(s.writeToPasteboard(link, true));
    EXPECT_FALSE(pasteboard.writes.back().front().data(pasteboardtype::html));
    tick();
    EXPECT_EQ(s.items().size(), 1u);
}

TEST_F(CaptureStoreFixture, FailedOrEmptyWritesReportFalseAndLeaveTheCountAlone) {
    auto& s = start();
    const auto seen = s.lastSeenChangeCount();
    ClipItem image = makeClip("", ClipKind::image);
    image.payloadFilename = "GONE.png";
    EXPECT_FALSE(s.writeToPasteboard(image, false)) << "a lost image payload offers nothing";
    EXPECT_TRUE(pasteboard.writes.empty());

    pasteboard.failWrites = true;
    EXPECT_FALSE(s.writeToPasteboard(makeClip("text"), false));
    EXPECT_EQ(s.lastSeenChangeCount(), seen);

    HistoryStore noClipboard(defaults, clock, HistoryStoreOptions{.applicationSupport = support() / "other"});
    EXPECT_FALSE(noClipboard.writeToPasteboard(makeClip("text"), false));
}

TEST_F(CaptureStoreFixture, PasteboardObjectsUseTheStoredPayloadAndLegacyArchive) {
    auto& s = start();
    copyImage(pngOf(Qt::green));
    tick();
    const ClipItem image = s.items().front();
    ASSERT_TRUE(s.payloadURL(image));
    const auto drag = s.pasteboardObjects(image, false, true);
    ASSERT_EQ(drag.size(), 1u);
    EXPECT_TRUE(drag.front().data(pasteboardtype::png));
    EXPECT_EQ(drag.front().string(pasteboardtype::uriList), fileURLString(s.payloadURL(image)->string()) + "\r\n");
    EXPECT_FALSE(s.pasteboardObjects(image, false, false).front().data(pasteboardtype::uriList));

    // A clip of the legacy import is rebuilt from its archive only, with no fall-back.
    ClipItem legacy = makeClip("legacy text");
    legacy.legacyPayloadFilename = "Legacy/pastenow-1.lzfse";
    EXPECT_TRUE(s.pasteboardObjects(legacy, false, false).empty());
    s.makeLegacyPasteboardItem = [](const ClipItem& clip, const fs::path&, bool plainText) {
        auto object = PasteboardObject::item();
        object.setString(pasteboardtype::plainText, plainText ? clip.text : "rich");
        return std::optional<PasteboardObject>(object);
    };
    EXPECT_EQ(s.pasteboardObjects(legacy, true, false).front().string(pasteboardtype::plainText), "legacy text");
    EXPECT_EQ(s.pasteboardObjects(legacy, false, true).front().string(pasteboardtype::plainText), "rich");
}

// ---- Images -------------------------------------------------------------------------------------

TEST_F(CaptureStoreFixture, ANewImageIsStoredRecognizedAndSavedWithItsText) {
    auto& s = start();
    const Bytes png = pngOf(Qt::red);
    copyImage(png);
    tick();
    ASSERT_EQ(s.items().size(), 1u);
    const ClipItem clip = s.items().front();
    EXPECT_EQ(clip.kind, ClipKind::image);
    EXPECT_EQ(clip.title, "Copied image");
    EXPECT_EQ(clip.payloadFilename, clip.id.uppercaseString() + ".png");
    const fs::path file = payloads() / *clip.payloadFilename;
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600);
    EXPECT_EQ(derivativeRequests, std::vector<Uuid>{clip.id});
    ASSERT_EQ(recognizer.requestedFiles, std::vector<fs::path>{file});

    // No text found: the clip stays as it is and nothing is saved.
    clock.advance(HistoryStore::kSaveDebounce);
    ASSERT_EQ(clock.pendingCount(), 1u);
    EXPECT_EQ(recognizer.finishAll(), 1);
    EXPECT_TRUE(s.items().front().searchableText.empty());
    EXPECT_EQ(clock.pendingCount(), 1u) << "only the poll";

    recognizer.linesForFile[file] = {"INVOICE 4711", "PAID"};
    s.recognizeText(file, clip.id);
    EXPECT_EQ(recognizer.finishAll(), 1);
    EXPECT_EQ(s.items().front().searchableText, "INVOICE 4711\nPAID");
    EXPECT_EQ(s.items().front().title, "Copied image");
    s.setQuery("invoice");
    ASSERT_EQ(s.filteredItems().size(), 1u);
    clock.advance(HistoryStore::kSaveDebounce);
    s.flushHistory();
    EXPECT_EQ(readHistory().front().searchableText, "INVOICE 4711\nPAID");
}

TEST_F(CaptureStoreFixture, RecognitionOfADeletedClipChangesNothing) {
    auto& s = start();
    copyImage(pngOf(Qt::red));
    tick();
    const ClipItem clip = s.items().front();
    recognizer.linesForFile.clear();
    s.deleteItem(clip);
    clock.advance(HistoryStore::kSaveDebounce);
    const auto pendingBefore = clock.pendingCount();
    recognizer.finishAll();
    EXPECT_TRUE(s.items().empty());
    EXPECT_EQ(clock.pendingCount(), pendingBefore) << "no save is scheduled";
}

TEST_F(CaptureStoreFixture, ARepeatedImageWritesNoSecondFileAndStartsNoSecondRecognition) {
    auto& s = start();
    const Bytes png = pngOf(Qt::red);
    copyImage(png);
    tick();
    const Uuid id = s.items().front().id;
    copyText("between");
    tick();
    copyImage(png);
    tick();
    EXPECT_EQ(texts(), (std::vector<std::string>{"<image>", "between"}));
    EXPECT_EQ(s.items().front().id, id);
    EXPECT_EQ(payloadFileCount(), 1u);
    EXPECT_EQ(recognizer.requestedFiles.size(), 1u);
    // No upload copy yet: the derivative is asked for again, for the stored clip.
    EXPECT_EQ(derivativeRequests, (std::vector<Uuid>{id, id}));

    // With a readable upload copy nothing more is asked.
    ClipItem withCopy = s.items().front();
    writePayloadFile(id.uppercaseString() + ".sync.png");
    s.deleteItem(withCopy);
    withCopy.syncPayloadFilename = id.uppercaseString() + ".sync.png";
    withCopy.syncPayloadDigest = "digest";
    s.importItems({withCopy}, "test");
    copyImage(png);
    tick();
    EXPECT_EQ(derivativeRequests.size(), 2u);
}

TEST_F(CaptureStoreFixture, ARepeatedImageRestoresALostPayloadFile) {
    auto& s = start();
    const Bytes png = pngOf(Qt::red);
    copyImage(png);
    tick();
    const ClipItem clip = s.items().front();
    fs::remove(payloads() / *clip.payloadFilename);
    ASSERT_FALSE(s.payloadURL(clip));
    ASSERT_FALSE(s.writeToPasteboard(clip, false));

    copyText("between");
    tick();
    copyImage(png);
    tick();
    const ClipItem& restored = s.items().front();
    EXPECT_EQ(restored.id, clip.id);
    ASSERT_TRUE(s.payloadURL(restored));
    std::ifstream in(*s.payloadURL(restored), std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), png);
    EXPECT_TRUE(s.writeToPasteboard(restored, false));
    EXPECT_EQ(recognizer.requestedFiles.size(), 1u);
}

TEST_F(CaptureStoreFixture, AnImageThatCannotBeSavedShowsAToastAndAddsNothing) {
    auto& s = start();
    // The payload folder replaced by a file: no payload can be written.
    fs::remove_all(payloads());
    std::ofstream(payloads()) << "not a folder";
    copyImage(pngOf(Qt::red));
    tick();
    EXPECT_TRUE(s.items().empty());
    EXPECT_EQ(s.toastMessage(), "Could not save copied image");
    EXPECT_EQ(s.toastTone(), ToastTone::error);  // a failure, not a success
    EXPECT_TRUE(recognizer.requestedFiles.empty());
    EXPECT_TRUE(derivativeRequests.empty());
}

TEST_F(CaptureStoreFixture, AQuitRightAfterCopiesKeepsThemInTheOrderTheyCame) {
    auto& s = start();
    copyImage(pngOf(Qt::red));
    clock.advance(HistoryStore::kPollInterval);  // its file is being written off this thread
    copyText("copied after the image");
    s.shutdown();
    const auto saved = readHistory();
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[0].text, "copied after the image");
    ASSERT_EQ(saved[1].kind, ClipKind::image);
    EXPECT_TRUE(fs::exists(payloads() / *saved[1].payloadFilename));
}

// ---- Sync notifications -------------------------------------------------------------------------

TEST_F(CaptureStoreFixture, CapturesAndDeletionsNotifySync) {
    std::vector<std::string> captured;
    std::vector<std::vector<Uuid>> deleted;
    auto& s = start();
    s.onSyncableTextCaptured = [&](const Uuid&, const std::string& text, Date, const ClipSourceDeviceOrigin& origin) {
        captured.push_back(text + "@" + origin.id);
    };
    s.onSyncableImageCaptured = [&](const Uuid&, const SyncableImagePayload&, Date, const ClipSourceDeviceOrigin&) {
        captured.push_back("<image>");
    };
    s.onSyncableClipsDeleted = [&](const std::vector<Uuid>& ids, const std::vector<Date>&) { deleted.push_back(ids); };

    copyText("hello");
    tick();
    const std::string device = *s.items().front().sourceDeviceID;
    copyText("hello");  // known content moved up: notified again
    tick();
    copyImage(pngOf(Qt::red));  // no upload copy yet: nothing
    tick();
    const std::string path = (fs::path(temp.path().toStdString()) / "f.txt").string();
    std::ofstream(path) << "f";
    pasteboard.setContents({{"text/uri-list", bytesOf(fileURLString(path))}});  // files never sync
    tick();
    EXPECT_EQ(captured, (std::vector<std::string>{"hello@" + device, "hello@" + device}));

    const std::vector<ClipItem> all = s.items();
    s.deleteItem(all[0]);  // the file: not syncable
    s.deleteItem(all[1]);  // the image
    EXPECT_EQ(deleted, (std::vector<std::vector<Uuid>>{{all[1].id}}));
}

}  // namespace
}  // namespace harbelle::testing
