#pragma once

#include <tesseract/capi.h>

#include <string>

namespace harbelle {

// The OCR engine's library, opened the first time an image is read instead of linked: it brings
// Leptonica, libarchive, libcurl and their TLS stacks, pages a text-only history never needs.
// `loaded` is false, and `error` says why, when it cannot be opened.
struct TesseractLibrary {
    decltype(&::TessBaseAPICreate) create = nullptr;
    decltype(&::TessBaseAPIDelete) destroy = nullptr;
    decltype(&::TessBaseAPIInit2) init = nullptr;
    decltype(&::TessBaseAPISetImage) setImage = nullptr;
    decltype(&::TessBaseAPISetSourceResolution) setSourceResolution = nullptr;
    decltype(&::TessBaseAPIRecognize) recognize = nullptr;
    decltype(&::TessBaseAPIGetIterator) iterator = nullptr;
    decltype(&::TessResultIteratorGetUTF8Text) text = nullptr;
    decltype(&::TessResultIteratorNext) next = nullptr;
    decltype(&::TessResultIteratorDelete) deleteIterator = nullptr;
    decltype(&::TessDeleteText) deleteText = nullptr;
    decltype(&::TessBaseAPIClear) clear = nullptr;
    decltype(&::TessMonitorCreate) monitorCreate = nullptr;
    decltype(&::TessMonitorDelete) monitorDelete = nullptr;
    decltype(&::TessMonitorSetCancelFunc) monitorSetCancelFunc = nullptr;
    decltype(&::TessMonitorSetCancelThis) monitorSetCancelThis = nullptr;

    bool loaded = false;
    std::string error;

    // Opens the library of that file name; the handle stays open for the process's life.
    static TesseractLibrary open(const char* fileName);
};

// The process's OCR library, opened on the first call.
const TesseractLibrary& tesseractLibrary();

}  // namespace harbelle
