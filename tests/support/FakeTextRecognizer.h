#pragma once

#include <QPointer>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/TextRecognizer.h"

namespace harbelle::testing {

// Recognition with scripted answers per file; requests wait until the test finishes them.
class FakeTextRecognizer final : public TextRecognizer {
public:
    void recognize(const std::filesystem::path& imageFile, QObject* context, Completion completion) override;
    void recognize(const QImage& image, QObject* context, Completion completion) override;

    // Answers every waiting request (scripted lines, or none), as the main thread would
    // receive them; requests whose context is gone are dropped. Returns how many were answered.
    int finishAll();

    std::map<std::filesystem::path, std::vector<std::string>> linesForFile;
    std::vector<std::string> linesForImages;
    std::vector<std::filesystem::path> requestedFiles;
    int imageRequests = 0;

private:
    struct Request {
        std::vector<std::string> lines;
        QPointer<QObject> context;
        bool hadContext = false;
        Completion completion;
    };
    std::vector<Request> pending_;
};

}  // namespace harbelle::testing
