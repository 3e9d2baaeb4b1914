#include "support/FakeTextRecognizer.h"

#include <QImage>
#include <QObject>

namespace harbelle::testing {

void FakeTextRecognizer::recognize(const std::filesystem::path& imageFile, QObject* context, Completion completion) {
    requestedFiles.push_back(imageFile);
    auto it = linesForFile.find(imageFile);
    pending_.push_back({it == linesForFile.end() ? std::vector<std::string>{} : it->second, context,
                        context != nullptr, std::move(completion)});
}

void FakeTextRecognizer::recognize(const QImage&, QObject* context, Completion completion) {
    ++imageRequests;
    pending_.push_back({linesForImages, context, context != nullptr, std::move(completion)});
}

int FakeTextRecognizer::finishAll() {
    auto requests = std::move(pending_);
    pending_.clear();
    int answered = 0;
    for (auto& request : requests) {
        if (request.hadContext && !request.context) continue;
        request.completion(request.lines);
        ++answered;
    }
    return answered;
}

}  // namespace harbelle::testing
