#include "platform/linux/TesseractLibrary.h"

#include <dlfcn.h>

namespace harbelle {

namespace {

template <class Function>
bool resolve(void* handle, const char* name, Function& entry, std::string& missing) {
    void* symbol = ::dlsym(handle, name);
    if (!symbol) {
        missing = name;
        return false;
    }
    entry = reinterpret_cast<Function>(symbol);
    return true;
}

}  // namespace

TesseractLibrary TesseractLibrary::open(const char* fileName) {
    TesseractLibrary library;
    void* handle = ::dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = ::dlerror();
        library.error = std::string("the OCR library could not be loaded: ") + (reason ? reason : fileName);
        return library;
    }
    std::string missing;
    const bool complete = resolve(handle, "TessBaseAPICreate", library.create, missing) &&
                          resolve(handle, "TessBaseAPIDelete", library.destroy, missing) &&
                          resolve(handle, "TessBaseAPIInit2", library.init, missing) &&
                          resolve(handle, "TessBaseAPISetImage", library.setImage, missing) &&
                          resolve(handle, "TessBaseAPISetSourceResolution", library.setSourceResolution, missing) &&
                          resolve(handle, "TessBaseAPIRecognize", library.recognize, missing) &&
                          resolve(handle, "TessBaseAPIGetIterator", library.iterator, missing) &&
                          resolve(handle, "TessResultIteratorGetUTF8Text", library.text, missing) &&
                          resolve(handle, "TessResultIteratorNext", library.next, missing) &&
                          resolve(handle, "TessResultIteratorDelete", library.deleteIterator, missing) &&
                          resolve(handle, "TessDeleteText", library.deleteText, missing) &&
                          resolve(handle, "TessBaseAPIClear", library.clear, missing);
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
