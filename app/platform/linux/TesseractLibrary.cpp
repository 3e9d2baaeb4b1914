#include "platform/linux/TesseractLibrary.h"

#include <dlfcn.h>

#include "sync/LibrarySymbols.h"

namespace harbelle {

TesseractLibrary TesseractLibrary::open(const char* fileName) {
    TesseractLibrary library;
    void* handle = ::dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = ::dlerror();
        library.error = std::string("the OCR library could not be loaded: ") + (reason ? reason : fileName);
        return library;
    }
    std::string missing;
    const bool complete = sync::resolveSymbol(handle, "TessBaseAPICreate", library.create, missing) &&
                          sync::resolveSymbol(handle, "TessBaseAPIDelete", library.destroy, missing) &&
                          sync::resolveSymbol(handle, "TessBaseAPIInit2", library.init, missing) &&
                          sync::resolveSymbol(handle, "TessBaseAPISetImage", library.setImage, missing) &&
                          sync::resolveSymbol(handle, "TessBaseAPISetSourceResolution", library.setSourceResolution, missing) &&
                          sync::resolveSymbol(handle, "TessBaseAPIRecognize", library.recognize, missing) &&
                          sync::resolveSymbol(handle, "TessBaseAPIGetIterator", library.iterator, missing) &&
                          sync::resolveSymbol(handle, "TessResultIteratorGetUTF8Text", library.text, missing) &&
                          sync::resolveSymbol(handle, "TessResultIteratorNext", library.next, missing) &&
                          sync::resolveSymbol(handle, "TessResultIteratorDelete", library.deleteIterator, missing) &&
                          sync::resolveSymbol(handle, "TessDeleteText", library.deleteText, missing) &&
                          sync::resolveSymbol(handle, "TessBaseAPIClear", library.clear, missing) &&
                          sync::resolveSymbol(handle, "TessMonitorCreate", library.monitorCreate, missing) &&
                          sync::resolveSymbol(handle, "TessMonitorDelete", library.monitorDelete, missing) &&
                          sync::resolveSymbol(handle, "TessMonitorSetCancelFunc", library.monitorSetCancelFunc, missing) &&
                          sync::resolveSymbol(handle, "TessMonitorSetCancelThis", library.monitorSetCancelThis, missing);
    if (!complete) {
        ::dlclose(handle);
        TesseractLibrary refused;
        refused.error = std::string("the OCR library could not be loaded: ") + fileName + " has no " + missing;
        return refused;
    }
    library.loaded = true;
    return library;
}

const TesseractLibrary& tesseractLibrary() {
    static const TesseractLibrary library = TesseractLibrary::open("libtesseract.so.5");
    return library;
}

}  // namespace harbelle
